// The k-d tree: median splits along each node's widest axis.
#include "kdtree.hpp"

#include <algorithm>
#include <numeric>

namespace tarvic::detail {

KdTree::KdTree(const Points64& pts) {
    const std::size_t n = pts.n;
    if (n == 0) return;
    index_.resize(n);
    std::iota(index_.begin(), index_.end(), 0u);
    x_.assign(pts.x, pts.x + n);
    y_.assign(pts.y, pts.y + n);
    z_.assign(pts.z, pts.z + n);
    nodes_.reserve(2 * (n / kLeaf + 1));
    build(0, static_cast<std::uint32_t>(n));
    // Coordinates in tree order, so that a leaf's points are contiguous.
    std::vector<double> x(n), y(n), z(n);
    for (std::size_t p = 0; p < n; ++p) {
        x[p] = pts.x[index_[p]];
        y[p] = pts.y[index_[p]];
        z[p] = pts.z[index_[p]];
    }
    x_.swap(x);
    y_.swap(y);
    z_.swap(z);
}

std::int32_t KdTree::build(std::uint32_t begin, std::uint32_t end) {
    // While building, x_, y_, z_ are in cloud order and index_[begin, end) names this node's points.
    const auto id = static_cast<std::int32_t>(nodes_.size());
    nodes_.push_back(Node{});
    Node node;
    node.begin = begin;
    node.end = end;
    for (int a = 0; a < 3; ++a) {
        node.lo[a] = std::numeric_limits<double>::infinity();
        node.hi[a] = -std::numeric_limits<double>::infinity();
    }
    const std::vector<double>* cols[3] = {&x_, &y_, &z_};
    for (std::uint32_t p = begin; p < end; ++p)
        for (int a = 0; a < 3; ++a) {
            const double v = (*cols[a])[index_[p]];
            node.lo[a] = std::min(node.lo[a], v);
            node.hi[a] = std::max(node.hi[a], v);
        }
    if (end - begin > kLeaf) {
        int axis = 0;
        for (int a = 1; a < 3; ++a)
            if (node.hi[a] - node.lo[a] > node.hi[axis] - node.lo[axis]) axis = a;
        const std::vector<double>& col = *cols[axis];
        const std::uint32_t mid = begin + (end - begin) / 2;
        // Ties in the coordinate are ordered by index, so the tree depends on the cloud alone.
        std::nth_element(index_.begin() + begin, index_.begin() + mid, index_.begin() + end,
                         [&](std::uint32_t i, std::uint32_t j) { return col[i] < col[j] || (col[i] == col[j] && i < j); });
        node.left = build(begin, mid);
        node.right = build(mid, end);
    }
    nodes_[static_cast<std::size_t>(id)] = node;
    return id;
}

KdTree::Weights KdTree::weights(const std::vector<double>& by_index) const {
    Weights w;
    w.point.resize(index_.size());
    for (std::size_t p = 0; p < index_.size(); ++p) w.point[p] = by_index[index_[p]];
    w.node.resize(nodes_.size());
    for (std::size_t id = 0; id < nodes_.size(); ++id) {
        const Node& node = nodes_[id];
        w.node[id] = *std::min_element(w.point.begin() + node.begin, w.point.begin() + node.end);
    }
    return w;
}

}  // namespace tarvic::detail
