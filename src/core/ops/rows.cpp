#include "core/ops/rows.hpp"

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

}  // namespace spanlet
