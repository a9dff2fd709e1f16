#include "core/ops/rows.hpp"

#include <algorithm>

namespace spanlet {

Csr join_blocks(std::vector<RowBlock>& blocks, std::uint64_t nrows, std::uint64_t ncols) {
    std::size_t total = 0;
    for (const auto& block : blocks) total += block.indices.size();
    Csr m;
    m.nrows = nrows;
    m.ncols = ncols;
    m.indptr.reserve(nrows + 1);
    m.indices.reserve(total);
    m.data.reserve(total);
    m.indptr.push_back(0);
    for (auto& block : blocks) {
        for (std::uint64_t size : block.row_sizes) m.indptr.push_back(m.indptr.back() + size);
        m.indices.insert(m.indices.end(), block.indices.begin(), block.indices.end());
        m.data.insert(m.data.end(), block.values.begin(), block.values.end());
        block = RowBlock{};  // release as we go
    }
    return m;
}

std::uint64_t RowBlocks::stored() const {
    std::uint64_t total = 0;
    for (const RowBlock& block : blocks) total += block.indices.size();
    return total;
}

void RowBlocks::write(RowArrays out) {
    std::vector<std::uint64_t> row_at(blocks.size() + 1, 0), entry_at(blocks.size() + 1, 0);
    for (std::size_t t = 0; t < blocks.size(); ++t) {
        row_at[t + 1] = row_at[t] + blocks[t].row_sizes.size();
        entry_at[t + 1] = entry_at[t] + blocks[t].indices.size();
    }
    out.indptr[0] = 0;
    parallel_for(blocks.size(), [&](std::size_t t, Scratch&) {
        RowBlock& block = blocks[t];
        std::uint64_t end = entry_at[t];
        std::uint64_t* indptr = out.indptr + row_at[t] + 1;
        for (const std::uint64_t size : block.row_sizes) *indptr++ = end += size;
        std::copy(block.indices.begin(), block.indices.end(), out.indices + entry_at[t]);
        std::copy(block.values.begin(), block.values.end(), out.data + entry_at[t]);
        block = RowBlock{};
    });
}

Csr RowBlocks::join() {
    Csr m;
    m.nrows = nrows;
    m.ncols = ncols;
    m.indptr.resize(nrows + 1);
    m.indices.resize(stored());
    m.data.resize(m.indices.size());
    write({m.indptr.data(), m.indices.data(), m.data.data()});
    return m;
}

}  // namespace spanlet
