#include "core/spaces/knot_vector.hpp"

#include <cmath>

namespace spanlet {

namespace {

// Within these bounds on the span and on the shortest interval, every quotient of the recurrence
// (a value over a sum of knot differences) stays a normal double for values above 2^-500, so no
// precision is lost to underflow or overflow. Outside them the elements' own pieces, which are
// written in a scaled variable, evaluate the space.
const double LARGEST_SPAN = std::ldexp(1.0, 500);
const double SHORTEST_INTERVAL = std::ldexp(1.0, -500);

}  // namespace

bool KnotVector::representable(const std::vector<double>& breaks) {
    const double span = breaks.back() - breaks.front();
    if (!(span <= LARGEST_SPAN)) return false;
    for (std::size_t q = 0; q + 1 < breaks.size(); ++q)
        if (!(breaks[q + 1] - breaks[q] >= SHORTEST_INTERVAL)) return false;
    return true;
}

void KnotVector::build_buckets() {
    // One bucket per interval: on uniform knots each holds about one breakpoint.
    const std::size_t intervals = breaks_.size() - 1;
    buckets_ = intervals;
    bucket_scale_ = static_cast<double>(intervals) / (breaks_.back() - breaks_.front());
    auto bucket = [&](double v) {
        const double t = (v - breaks_.front()) * bucket_scale_;
        return t < static_cast<double>(buckets_) ? static_cast<std::size_t>(t) : buckets_ - 1;
    };
    bucket_start_.assign(buckets_ + 1, breaks_.size());
    bucket_start_[0] = 0;
    std::size_t b = 0;
    for (std::size_t k = 0; k < breaks_.size(); ++k)
        for (const std::size_t at = bucket(breaks_[k]); b < at;) bucket_start_[++b] = k;
}

std::shared_ptr<const KnotVector> KnotVector::open(const std::vector<double>& t, std::uint64_t p, bool closed) {
    auto v = std::make_shared<KnotVector>();
    v->closed_ = closed;
    const std::size_t m = t.size();
    for (std::size_t i = 0; i + 1 < m; ++i)
        if (t[i] < t[i + 1]) {
            v->breaks_.push_back(t[i]);
            v->interval_knot_.push_back(i + p);
        }
    v->breaks_.push_back(t[m - 1]);
    if (v->breaks_.size() < 2 || !representable(v->breaks_)) return nullptr;
    v->degree_ = p;
    v->elements_ = m - p - 1;
    v->at_.assign(p, t.front());
    v->at_.insert(v->at_.end(), t.begin(), t.end());
    v->at_.insert(v->at_.end(), p, t.back());
    v->first_offset_ = 2 * static_cast<std::int64_t>(p);
    v->build_buckets();
    return v;
}

std::shared_ptr<const KnotVector> KnotVector::periodic(const std::vector<double>& x, std::uint64_t p) {
    auto v = std::make_shared<KnotVector>();
    const std::size_t n = x.size() - 1;
    v->breaks_ = x;
    if (!representable(v->breaks_)) return nullptr;
    v->degree_ = p;
    v->elements_ = n;
    // Knot k is breakpoint m = k - p of the sequence continued by the period, for m = -p .. n + p.
    const auto shift = static_cast<std::ptrdiff_t>(p), last = static_cast<std::ptrdiff_t>(n);
    for (std::ptrdiff_t m = -shift; m <= last + shift; ++m) {
        if (m < 0) {  // x[m + n] - period
            v->at_.push_back(x[0]);
            v->shift_.push_back(x[n] - x[static_cast<std::size_t>(m + last)]);
        } else if (m > last) {  // x[m - n] + period
            v->at_.push_back(x[n]);
            v->shift_.push_back(-(x[static_cast<std::size_t>(m - last)] - x[0]));
        } else {
            v->at_.push_back(x[static_cast<std::size_t>(m)]);
            v->shift_.push_back(0.0);
        }
    }
    for (std::size_t q = 0; q < n; ++q) v->interval_knot_.push_back(q + p);
    v->first_offset_ = static_cast<std::int64_t>(p);
    v->build_buckets();
    return v;
}

}  // namespace spanlet
