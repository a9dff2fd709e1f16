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
    for (const RowBlock& block : blocks) total += block.indices.size() - block.zeros;
    return total;
}

namespace {

// The block's rows from entry `at` of out on, their ends from `indptr` on.
void write_block(const RowBlock& block, RowArrays out, std::uint64_t at, std::uint64_t* indptr) {
    if (block.zeros == 0) {
        for (const std::uint64_t size : block.row_sizes) *indptr++ = at += size;
        std::copy(block.indices.begin(), block.indices.end(), out.indices + (at - block.indices.size()));
        std::copy(block.values.begin(), block.values.end(), out.data + (at - block.values.size()));
        return;
    }
    const std::uint64_t* indices = block.indices.data();
    const double* values = block.values.data();
    for (const std::uint64_t size : block.row_sizes) {
        for (const double* end = values + size; values != end; ++values, ++indices) {
            if (*values == 0.0) continue;
            out.indices[at] = *indices;
            out.data[at] = *values;
            ++at;
        }
        *indptr++ = at;
    }
}

}  // namespace

void RowBlocks::write(RowArrays out) {
    std::vector<std::uint64_t> row_at(blocks.size() + 1, 0), entry_at(blocks.size() + 1, 0);
    for (std::size_t t = 0; t < blocks.size(); ++t) {
        row_at[t + 1] = row_at[t] + blocks[t].row_sizes.size();
        entry_at[t + 1] = entry_at[t] + blocks[t].indices.size() - blocks[t].zeros;
    }
    out.indptr[0] = 0;
    parallel_for(blocks.size(), [&](std::size_t t, Scratch&) {
        write_block(blocks[t], out, entry_at[t], out.indptr + row_at[t] + 1);
        blocks[t] = RowBlock{};
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
