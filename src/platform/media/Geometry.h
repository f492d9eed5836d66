#pragma once
// Small plane geometry: sizes, rectangles and affine transforms that map
// (x, y) to (a·x + c·y + tx, b·x + d·y + ty).
#include <algorithm>
#include <cmath>

namespace trimwell {

struct Size {
    double width{0};
    double height{0};
    friend bool operator==(const Size&, const Size&) = default;
};

struct Rect {
    double x{0};
    double y{0};
    double width{0};
    double height{0};
};

struct AffineTransform {
    double a{1}, b{0}, c{0}, d{1}, tx{0}, ty{0};

    static AffineTransform identity() { return {}; }
    static AffineTransform translation(double x, double y) { return {1, 0, 0, 1, x, y}; }
    static AffineTransform scale(double sx, double sy) { return {sx, 0, 0, sy, 0, 0}; }

    // This transform, then `next`.
    AffineTransform followedBy(const AffineTransform& next) const {
        return {a * next.a + b * next.c,
                a * next.b + b * next.d,
                c * next.a + d * next.c,
                c * next.b + d * next.d,
                tx * next.a + ty * next.c + next.tx,
                tx * next.b + ty * next.d + next.ty};
    }

    // The smallest axis-parallel rectangle holding the four transformed corners.
    Rect apply(const Rect& r) const {
        const double xs[4] = {r.x, r.x + r.width, r.x, r.x + r.width};
        const double ys[4] = {r.y, r.y, r.y + r.height, r.y + r.height};
        double minX = INFINITY, minY = INFINITY, maxX = -INFINITY, maxY = -INFINITY;
        for (int i = 0; i < 4; ++i) {
            const double px = a * xs[i] + c * ys[i] + tx;
            const double py = b * xs[i] + d * ys[i] + ty;
            minX = std::min(minX, px);
            maxX = std::max(maxX, px);
            minY = std::min(minY, py);
            maxY = std::max(maxY, py);
        }
        return {minX, minY, maxX - minX, maxY - minY};
    }

    friend bool operator==(const AffineTransform&, const AffineTransform&) = default;
};

} // namespace trimwell
