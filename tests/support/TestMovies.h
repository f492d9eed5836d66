#pragma once
// Test inputs made with the ffmpeg program, and an independent look at outputs with
// ffprobe and ffmpeg. Test-only: the program never calls these tools.
#include <cstdint>
#include <string>
#include <vector>

namespace trimwell::testing {

// A fresh, empty folder for one test, under the build tree's test-tmp.
std::string freshFolder(const std::string& name);

// Runs a shell command; returns its exit status. Output goes to a log beside the folder.
int run(const std::string& command);
// Runs a shell command and returns what it printed on standard output.
std::string capture(const std::string& command);

// Makes (once per process, cached by name) a movie with ffmpeg from lavfi inputs.
// args are ffmpeg arguments between the inputs and the output file name. When copyArgs is
// given, the result is stream-copied once more with them (how rotation metadata is set).
std::string makeMovie(const std::string& fileName, const std::string& args,
                      const std::string& copyArgs = "");

// Like makeMovie, but written as a recorder streams WebM, to a pipe: no index (cues) and no
// stated length. args are ffmpeg arguments before the output (inputs and codecs).
std::string streamedWebm(const std::string& fileName, const std::string& args);

// SMPTE bars of one second mastered into BT.2020 with transfer ("arib-std-b67" for HLG,
// "smpte2084" for PQ) as 10-bit HEVC, as phones record HDR; made once per size and transfer.
std::string hdrBarsMovie(const std::string& transfer, const std::string& size = "1280x720");

// ffprobe -show_entries value of one stream ("v:0", "a:0") or the format ("format").
std::string probe(const std::string& path, const std::string& stream, const std::string& entry);
double probeNumber(const std::string& path, const std::string& stream, const std::string& entry);
int countFrames(const std::string& path);

struct Rgb {
    int r{0}, g{0}, b{0};
};
// The colour at (x, y) of frame `index` (0-based) decoded by ffmpeg.
Rgb pixelAt(const std::string& path, int index, int x, int y);
// Every frame's colour at (x, y).
std::vector<Rgb> framePixels(const std::string& path, int x, int y);

// The picture at `seconds` of an HDR movie tone-mapped to SDR BT.709 (limited range) by
// libavfilter's float chain, on this machine: the look a save's table is worked out from,
// evaluated at every pixel. Written as a one-picture lossless movie to destination, of size
// ("640x360"; empty keeps the movie's), which is returned.
std::string toneMappedReference(const std::string& hdrMovie, double seconds,
                                const std::string& size, const std::string& destination);
// The colour at (x, y) of frame `index` decoded by ffmpeg and converted by swscale's exact
// paths, which round alike on every processor (its fast ones differ by up to 5 levels).
Rgb exactPixelAt(const std::string& path, int index, int x, int y);
// Whether a colour that went through the tone-mapping table matches the float chain's.
// Lit channels (64 and up in the reference) are within 6 levels. A dark channel may be at
// most 12 levels above the chain's, and any amount below it: near black the SDR curve is at
// its steepest, so the table's interpolation lands up to 10 levels off, and the chain turns
// the source's own rounding into tens of levels. A table that clips colours beyond SDR's
// gamut before interpolating lifts the dark channels of saturated colours by 20 and more.
bool matchesToneMapped(const Rgb& got, const Rgb& reference);

// Every frame's luma (Y, as coded) at (x, y): no colour conversion in the way.
std::vector<int> frameLuma(const std::string& path, int x, int y);

// Seconds from the start to the first sound sample above a sixteenth of full scale, as
// ffmpeg decodes the first sound track; -1 when there is none.
double firstLoudSound(const std::string& path);

// Whether the file's index (moov) comes before its data (mdat).
bool indexBeforeData(const std::string& path);

bool fileExists(const std::string& path);
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);
std::int64_t fileSize(const std::string& path);
// File names in a folder, sorted.
std::vector<std::string> listFolder(const std::string& folder);

} // namespace trimwell::testing
