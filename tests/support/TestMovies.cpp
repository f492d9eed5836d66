#include "TestMovies.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <mutex>
#include <stdexcept>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

namespace fs = std::filesystem;

namespace trimwell::testing {

static fs::path root() {
    const char* tmp = std::getenv("TRIMWELL_TEST_TMP");
    fs::path p = tmp ? fs::path(tmp) : fs::path(TRIMWELL_TEST_TMP_DEFAULT);
    fs::create_directories(p);
    return p;
}

std::string freshFolder(const std::string& name) {
    fs::path p = root() / "cases" / name;
    fs::remove_all(p);
    fs::create_directories(p);
    return p.string();
}

int run(const std::string& command) {
    const std::string full = command + " >>" + (root() / "commands.log").string() + " 2>&1";
    const int status = std::system(full.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string capture(const std::string& command) {
    std::string out;
    FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
    if (!pipe)
        return out;
    std::array<char, 4096> buffer{};
    size_t n;
    while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
        out.append(buffer.data(), n);
    pclose(pipe);
    return out;
}

std::string makeMovie(const std::string& fileName, const std::string& args,
                      const std::string& copyArgs) {
    static std::mutex lock;
    std::lock_guard guard(lock);
    fs::path dir = root() / "movies";
    fs::create_directories(dir);
    // CTest runs test programs side by side: one makes a movie while the others wait.
    struct FileLock {
        int fd;
        explicit FileLock(const fs::path& p) : fd(::open(p.c_str(), O_CREAT | O_RDWR, 0644)) {
            if (fd >= 0)
                ::flock(fd, LOCK_EX);
        }
        ~FileLock() {
            if (fd >= 0)
                ::close(fd);
        }
    } fileLock(dir / ".lock");
    fs::path out = dir / fileName;
    fs::path stamp = dir / (fileName + ".args");
    // Reuse a movie made earlier with the same arguments; remake it otherwise.
    if (fs::exists(out) && fs::exists(stamp)) {
        std::string old = capture("cat '" + stamp.string() + "'");
        if (old == args + copyArgs)
            return out.string();
    }
    fs::remove(out);
    const std::string ffmpeg = "ffmpeg -nostdin -y -hide_banner -loglevel error ";
    const fs::path first = copyArgs.empty() ? out : dir / ("stage-" + fileName);
    std::string cmd = ffmpeg + args + " '" + first.string() + "'";
    if (!copyArgs.empty())
        cmd += " && " + ffmpeg + "-i '" + first.string() + "' -c copy " + copyArgs + " '" +
               out.string() + "' && rm -f '" + first.string() + "'";
    if (run(cmd) != 0 || !fs::exists(out))
        throw std::runtime_error("could not make test movie: " + cmd);
    FILE* f = fopen(stamp.c_str(), "w");
    if (f) {
        fputs((args + copyArgs).c_str(), f);
        fclose(f);
    }
    return out.string();
}

std::string streamedWebm(const std::string& fileName, const std::string& args) {
    // The shell after the pipe names the file as its $0, so the log's redirection stays its own.
    return makeMovie(fileName, args + " -f webm pipe:1 | sh -c 'cat > \"$0\"'");
}

std::string hdrBarsMovie(const std::string& transfer, const std::string& size) {
    return makeMovie("bars-" + transfer + "-" + size + ".mp4",
                     "-f lavfi -i smptebars=size=" + size +
                         ":rate=30:duration=1 -vf \"setparams=color_primaries=bt709:color_trc="
                         "bt709:colorspace=bt709:range=tv,zscale=t=linear:npl=100,format=gbrpf32le,"
                         "zscale=p=2020:m=2020_ncl:r=tv:t=" +
                         transfer +
                         ",format=yuv420p10le\" -c:v libx265 -x265-params log-level=error "
                         "-color_primaries bt2020 -colorspace bt2020nc -color_trc " +
                         transfer);
}

std::string probe(const std::string& path, const std::string& stream, const std::string& entry) {
    std::string cmd = "ffprobe -v error ";
    if (stream == "format")
        cmd += "-show_entries format=" + entry;
    else
        cmd += "-select_streams " + stream + " -show_entries stream=" + entry;
    cmd += " -of default=noprint_wrappers=1:nokey=1 '" + path + "'";
    std::string out = capture(cmd);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    // Only the first line (a stream can repeat entries in side data).
    auto nl = out.find('\n');
    if (nl != std::string::npos)
        out = out.substr(0, nl);
    return out;
}

double probeNumber(const std::string& path, const std::string& stream, const std::string& entry) {
    const std::string text = probe(path, stream, entry);
    if (text.empty() || text == "N/A")
        return -1;
    auto slash = text.find('/');
    if (slash != std::string::npos) {
        const double den = std::atof(text.substr(slash + 1).c_str());
        return den != 0 ? std::atof(text.substr(0, slash).c_str()) / den : -1;
    }
    return std::atof(text.c_str());
}

int countFrames(const std::string& path) {
    const std::string out = capture("ffprobe -v error -count_frames -select_streams v:0 "
                                    "-show_entries stream=nb_read_frames -of csv=p=0 '" +
                                    path + "'");
    return std::atoi(out.c_str());
}

std::vector<Rgb> framePixels(const std::string& path, int x, int y) {
    // A 2 × 2 crop: 4:2:0 pictures cannot be cut to one pixel.
    x &= ~1;
    y &= ~1;
    const std::string out =
        capture("ffmpeg -nostdin -v error -i '" + path + "' -vf 'crop=2:2:" + std::to_string(x) +
                ":" + std::to_string(y) + ",format=rgb24' -f rawvideo -pix_fmt rgb24 -");
    std::vector<Rgb> pixels;
    for (size_t i = 0; i + 11 < out.size(); i += 12)
        pixels.push_back({static_cast<unsigned char>(out[i]),
                          static_cast<unsigned char>(out[i + 1]),
                          static_cast<unsigned char>(out[i + 2])});
    return pixels;
}

std::vector<int> frameLuma(const std::string& path, int x, int y) {
    x &= ~1;
    y &= ~1;
    const std::string out =
        capture("ffmpeg -nostdin -v error -i '" + path + "' -vf 'crop=2:2:" + std::to_string(x) +
                ":" + std::to_string(y) + ",format=yuv420p' -f rawvideo -pix_fmt yuv420p -");
    std::vector<int> luma;
    for (size_t i = 0; i + 5 < out.size(); i += 6) // 4 luma bytes and 2 chroma per frame
        luma.push_back(static_cast<unsigned char>(out[i]));
    return luma;
}

double firstLoudSound(const std::string& path) {
    const std::string pcm =
        capture("ffmpeg -nostdin -v error -i '" + path + "' -map 0:a:0 -ac 1 -ar 48000 -f s16le -");
    for (std::size_t i = 0; i + 1 < pcm.size(); i += 2) {
        const auto sample = static_cast<std::int16_t>(static_cast<unsigned char>(pcm[i]) |
                                                      static_cast<unsigned char>(pcm[i + 1]) << 8);
        if (std::abs(sample) > 2000)
            return static_cast<double>(i / 2) / 48000;
    }
    return -1;
}

bool indexBeforeData(const std::string& path) {
    const std::string bytes = readFile(path);
    const auto moov = bytes.find("moov"), mdat = bytes.find("mdat");
    return moov != std::string::npos && mdat != std::string::npos && moov < mdat;
}

std::string readFile(const std::string& path) {
    std::string bytes;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f)
        return bytes;
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0)
        bytes.append(buffer, n);
    fclose(f);
    return bytes;
}

void writeFile(const std::string& path, const std::string& bytes) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f)
        return;
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

Rgb pixelAt(const std::string& path, int index, int x, int y) {
    auto all = framePixels(path, x, y);
    if (index < 0 || index >= static_cast<int>(all.size()))
        return {-1, -1, -1};
    return all[index];
}

std::string toneMappedReference(const std::string& hdrMovie, double seconds,
                                const std::string& size, const std::string& destination) {
    const std::string resize = size.empty() ? "" : ":s=" + size;
    const std::string cmd =
        "ffmpeg -nostdin -y -v error -ss " + std::to_string(seconds) + " -i '" + hdrMovie +
        "' -frames:v 1 -vf 'zscale=t=linear:npl=100,format=gbrpf32le,zscale=p=bt709,"
        "tonemap=tonemap=mobius:desat=0,zscale=t=bt709:m=bt709:r=tv" +
        resize +
        ":f=bicubic,format=yuv420p' -c:v ffv1 -color_primaries bt709 -color_trc bt709 "
        "-colorspace bt709 -color_range tv '" +
        destination + "'";
    if (run(cmd) != 0 || !fileExists(destination))
        throw std::runtime_error("could not tone-map a reference: " + cmd);
    return destination;
}

Rgb exactPixelAt(const std::string& path, int index, int x, int y) {
    const std::string out = capture(
        "ffmpeg -nostdin -v error -i '" + path + "' -vf 'select=eq(n\\," + std::to_string(index) +
        "),crop=2:2:" + std::to_string(x & ~1) + ":" + std::to_string(y & ~1) +
        ",scale=flags=accurate_rnd+full_chroma_int+bitexact,format=rgb24' -frames:v 1 -f rawvideo "
        "-pix_fmt rgb24 -");
    if (out.size() < 3)
        return {-1, -1, -1};
    return {static_cast<unsigned char>(out[0]), static_cast<unsigned char>(out[1]),
            static_cast<unsigned char>(out[2])};
}

bool matchesToneMapped(const Rgb& got, const Rgb& reference) {
    for (const auto& [g, want] :
         {std::pair{got.r, reference.r}, {got.g, reference.g}, {got.b, reference.b}}) {
        if (want >= 64 ? std::abs(g - want) > 6 : g - want > 12)
            return false;
    }
    return true;
}

bool fileExists(const std::string& path) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec));
}

std::int64_t fileSize(const std::string& path) {
    std::error_code ec;
    auto n = fs::file_size(path, ec);
    return ec ? -1 : static_cast<std::int64_t>(n);
}

std::vector<std::string> listFolder(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace trimwell::testing
