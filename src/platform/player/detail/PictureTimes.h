#pragma once
// The presentation times of a movie's pictures, read from its packets (nothing is decoded
// but, in AVI, the first picture or two), on the player's timeline: zero at the container's
// start. Frame steps land on these, so a variable frame rate or a start offset steps exactly
// as the pictures are. One thread at a time.
#include "platform/media/detail/AvPtr.h"

#include <string>
#include <vector>

namespace trimwell {

class PictureTimes {
public:
    // Opens path and picks its picture stream as the player does; throws PlatformError.
    explicit PictureTimes(const std::string& path);

    // The time of the picture steps pictures after (steps < 0: before) the one shown at
    // seconds, which is the first picture at or after seconds. NaN when there is no such
    // picture or the packets cannot be read.
    double step(double seconds, int steps);
    // The movie's length in seconds from its start, or 0 when it cannot be told.
    double length() const { return end_; }
    // Seconds to add to libmpv's times to put them on this timeline. libmpv shows an AVI
    // picture at the decode time of the packet that brought it out less the decoder's delay;
    // FFmpeg's best-effort time, which the writer cuts by, keeps that delay, so the player
    // must too or every mark would fall one picture early in the cut.
    double shownLate() const { return countsPackets_ ? reorderDelay_ * tick_ : 0; }

private:
    // Opens the file afresh, ready to read its first packet, keeping only the picture stream.
    void open();
    // Reads every picture time from the key frame before from up to past to.
    void readWindow(double from, double to);
    // How many pictures a decoder of the picture stream holds back before it shows the
    // first, learnt by decoding from the start; 0 when it cannot be told.
    int measureReorderDelay();

    std::string path_;
    FormatContextPtr format_;
    bool unread_{false}; // format_ stands at the file's first packet
    int stream_{-1};
    double origin_{0}; // seconds: the container's start time
    double end_{0};    // seconds after origin_: the movie's length, or 0 when unknown
    // AVI keeps one time for each packet, its place in the file counted in pictures, and none
    // for when a B-frame's neighbours are shown: the pictures are timed from the packets'
    // decode times, as FFmpeg's best-effort times give them (reorderDelay_ ticks later than
    // libmpv's).
    bool countsPackets_{false};
    int reorderDelay_{0};
    double tick_{0}; // seconds: one tick of the picture stream's time base

    // The last window read: its pictures in order, and whether it reaches either end.
    double windowFrom_{0};
    double windowTo_{-1};
    std::vector<double> times_;
    bool atStart_{false};
    bool atEnd_{false};
};

} // namespace trimwell
