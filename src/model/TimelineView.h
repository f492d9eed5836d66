#pragma once
// What stretch of the movie a timeline strip shows and which pictures it wants for it. Plain
// arithmetic, no Qt and no threads, so that zooming and scrolling can be checked on their own.
//
// The wanted pictures lie on a grid of whole multiples of step(), a power of two of seconds
// chosen so that about one picture fits each picture's width of the strip. Zooming by a
// factor of two keeps every other wanted time, and scrolling keeps the ones still in view,
// so work already done is never asked for again.
#include <vector>

namespace trimwell {

class TimelineView {
public:
    // A new movie: shows the whole of it.
    void setDuration(double seconds);
    // The strip's width and the width of one picture, in the same units (the window's
    // logical pixels). The visible stretch keeps its start and is lengthened where the
    // shortest one grew.
    void setStrip(double width, double pictureWidth);

    double duration() const { return duration_; }
    double width() const { return width_; }
    double pictureWidth() const { return pictureWidth_; }
    double start() const { return start_; }
    double end() const { return start_ + span_; }
    double span() const { return span_; }
    bool whole() const { return span_ >= duration_; }
    // How many pictures fit across the strip (at least one).
    double pictureCount() const;
    // The shortest stretch the strip zooms to: about one picture per second, and never
    // longer than the movie.
    double shortestSpan() const;

    // Zooms by factor (above 1: in, below 1: out) so that the time seconds stays at
    // fraction (0 at the left edge, 1 at the right) of the strip, as far as the movie's ends
    // allow. Returns whether the visible stretch changed.
    bool zoomAround(double seconds, double factor, double fraction);
    // Moves the visible stretch to start at seconds, kept inside the movie.
    bool scrollTo(double seconds);
    bool showWhole();

    // Where a time lies on the strip and back; no movie maps everything to 0.
    double xAt(double seconds) const;
    double secondsAt(double x) const;

    // Seconds between wanted pictures.
    double step() const;
    // The wanted picture times for the visible stretch, left to right: the grid point at or
    // before its start (its picture covers the left edge), then every grid point inside it
    // and inside the movie.
    std::vector<double> wantedTimes() const;

private:
    bool place(double start, double span);

    double duration_{0};     // everything here: its owner's thread only
    double width_{0};        // logical pixels
    double pictureWidth_{0}; // logical pixels
    double start_{0};
    double span_{0};
};

} // namespace trimwell
