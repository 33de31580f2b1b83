#pragma once
// A k-d tree over a cloud, for searches whose reach is not known in advance: nearest points at
// any distance, and the point minimising a monotone cost of the distance plus a per-point weight.
// A uniform cell structure sized for a kernel width degrades on both (a far outlier, a tiny
// variance); the tree's branch-and-bound does not. Built in O(n log n), O(n) memory.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "tarvic/gauss_transform.hpp"

namespace tarvic::detail {

class KdTree {
public:
    /// The tree over `pts` (copied in tree order).
    explicit KdTree(const Points64& pts);

    /// The point found by a search: its index in the cloud and its cost.
    struct Hit {
        std::uint32_t index = 0;
        double cost = std::numeric_limits<double>::infinity();
    };

    /// Per-point weights, given in cloud order, with their minima over every node (for `best`).
    struct Weights {
        std::vector<double> point;  // tree order
        std::vector<double> node;   // minimum over each node's points
    };
    Weights weights(const std::vector<double>& by_index) const;

    /// The point minimising f(|p − q|²) + w_p (w = 0 without weights), f non-decreasing. Of points
    /// with equal cost, the first the search meets (fixed for a given tree and query).
    template <class F>
    Hit best(double qx, double qy, double qz, const Weights* w, F&& f) const;

    std::size_t size() const { return x_.size(); }

private:
    struct Node {
        double lo[3], hi[3];       // bounding box of the node's points
        std::uint32_t begin, end;  // its points, in tree order
        std::int32_t left = -1;    // children (−1: a leaf)
        std::int32_t right = -1;
    };
    static constexpr std::uint32_t kLeaf = 12;

    std::int32_t build(std::uint32_t begin, std::uint32_t end);
    double box_distance2(const Node& n, double qx, double qy, double qz) const;

    std::vector<double> x_, y_, z_;
    std::vector<std::uint32_t> index_;  // tree order → cloud index
    std::vector<Node> nodes_;           // nodes_[0] is the root
};

inline double KdTree::box_distance2(const Node& n, double qx, double qy, double qz) const {
    const double q[3] = {qx, qy, qz};
    double d2 = 0.0;
    for (int a = 0; a < 3; ++a) {
        const double d = q[a] < n.lo[a] ? n.lo[a] - q[a] : (q[a] > n.hi[a] ? q[a] - n.hi[a] : 0.0);
        d2 += d * d;
    }
    return d2;
}

template <class F>
KdTree::Hit KdTree::best(double qx, double qy, double qz, const Weights* w, F&& f) const {
    Hit hit;
    if (nodes_.empty()) return hit;
    // Depth-first, nearer child first; a node whose lower bound cannot beat the best is skipped.
    // Median splits keep the depth below 32 for any cloud a 32-bit index can name.
    std::int32_t stack[96];
    int top = 0;
    stack[top++] = 0;
    while (top > 0) {
        const std::int32_t id = stack[--top];
        const Node& node = nodes_[static_cast<std::size_t>(id)];
        const double floor = w ? w->node[static_cast<std::size_t>(id)] : 0.0;
        if (!(f(box_distance2(node, qx, qy, qz)) + floor < hit.cost)) continue;
        if (node.left < 0) {
            for (std::uint32_t p = node.begin; p < node.end; ++p) {
                const double dx = x_[p] - qx, dy = y_[p] - qy, dz = z_[p] - qz;
                const double cost = f((dx * dx + dy * dy) + dz * dz) + (w ? w->point[p] : 0.0);
                if (cost < hit.cost) {
                    hit.cost = cost;
                    hit.index = index_[p];
                }
            }
            continue;
        }
        const std::int32_t a = node.left, b = node.right;
        const double da = box_distance2(nodes_[static_cast<std::size_t>(a)], qx, qy, qz);
        const double db = box_distance2(nodes_[static_cast<std::size_t>(b)], qx, qy, qz);
        // Pushed last, popped first: the nearer child.
        stack[top++] = da <= db ? b : a;
        stack[top++] = da <= db ? a : b;
    }
    return hit;
}

}  // namespace tarvic::detail
