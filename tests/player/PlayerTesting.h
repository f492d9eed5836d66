#pragma once
// What the player, view and pane tests share: a QApplication for every test, bounded waits
// that keep the event loop running, and movies whose frames say which frame they are.
#include <QColor>
#include <QImage>
#include <QRect>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace trimwell::testing {

// Runs the event loop until done() holds or seconds pass; returns done().
bool waitUntil(const std::function<bool()>& done, double seconds = 5.0);
// Runs the event loop for seconds.
void spin(double seconds);

// 3 s at 30 fps, 160 x 120, every frame one solid colour that encodes its index (key frames
// a second apart, with B-frames, so an exact seek has to decode its way to the frame).
constexpr double kCodedRate = 30.0;
constexpr int kCodedFrames = 90;
std::string codedFramesMovie();
// The same pictures with a tone, as an MPEG transport stream: its clock starts at 1.4 s and
// its sound a little before its picture, as broadcast and camcorder files do.
std::string codedFramesTransportStream();
// The same at 29.97 frames a second, in a transport stream (a start time above zero, sound
// first).
std::string codedFramesNtscTransportStream();
// The same pictures with a tone in WebM written as a stream, as browsers record: no length
// in its header and no index.
std::string codedFramesStreamedWebm();
// The same pictures with a tone in any container: fileName's extension names it, and codecs
// (ffmpeg arguments, ending in a space) say how both are coded.
std::string codedFramesWith(const std::string& fileName, const std::string& codecs);
// The same pictures as a screen recording writes them: the first twenty a thirtieth apart,
// the rest from 3 s on.
std::string codedFramesScreenRecording();
// The same pictures at a variable frame rate: gaps of a thirtieth, a twentieth and a
// sixtieth of a second.
std::string codedFramesVariableRate();
// The coded pictures with a tone in every container frame steps must work in, each as its
// makers write it: kind names it, pictures is how many the file holds, and untimed says that
// some of its packets carry no presentation time (the player's times come from a decode; see
// aviShownTimes).
struct CodedContainer {
    const char* kind;
    std::string path;
    bool untimed{false};
    std::size_t pictures{kCodedFrames};
};
std::vector<CodedContainer> codedFramesInEveryContainer();
// The same pictures with a tone at rate frames a second ("25", "30000/1001"), 3 s long.
std::string codedFramesAtRate(const std::string& fileName, const std::string& rate,
                              const std::string& codecs);
// The coded pictures as a DVD is mastered: MPEG-2 at 720 x 480 and 29.97 fps in a DVD program
// stream with AC-3 sound, where many packets carry no presentation time.
std::string codedFramesDvd();
// Every picture's presentation time from ffprobe, in order, zero at the container's start.
std::vector<double> pictureTimes(const std::string& path);
// The times the player shows an AVI's pictures at, from a decode.
std::vector<double> aviShownTimes(const std::string& path);
// Every picture's time as a decode gives it (the decoder's best guess where a packet has
// none), in the order shown, zero at the container's start.
std::vector<double> decodedPictureTimes(const std::string& path);
// The index a coded colour stands for, or -1 for a colour that is no code (black, a blend).
int frameIndexOf(QColor colour);
// The coded index at the centre of image, or -1.
int frameIndexAtCentre(const QImage& image);
// The coded index at the centre of every picture the ffmpeg program decodes from path, in
// the order shown, each once: none doubled or dropped to fill a constant rate.
std::vector<int> decodedFrameIndices(const std::string& path);

// The smallest rectangle holding every pixel brighter than near-black.
QRect litBounds(const QImage& image);

} // namespace trimwell::testing
