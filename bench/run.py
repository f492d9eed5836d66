#!/usr/bin/env python3
"""Trimwell's export against the ffmpeg program doing the same cut, side by side.

Makes its own sources with ffmpeg (cached in $TRIMWELL_BENCH_DIR, default
/var/tmp/trimwell-bench), then runs each case RUNS times a side, who goes first alternating,
and prints median wall and CPU times, the median ratio of adjacent runs, peak resident memory,
the output's bit rate, and whether both outputs decode to the same pictures.
With --instructions it counts instead, under valgrind's callgrind, the instructions each side
executes on a short cut of each case: a figure that a busy host cannot disturb.
With --hdr it only measures what tone mapping adds to a save of 1080p60 and 2160p60 HLG phone
clips against their SDR twins (the plain one and one in the HLG clip's own look), and with
--preview only the real window's frame steps, playing backward, and, while it plays H.264, HLG and SDR clips (with
sound), its CPU use and the pictures shown and dropped each second (on a virtual display, through
xvfb-run); with --timeline only the timeline strip's pictures and waveform on an hour-long movie, and the
window's frame steps and playing while the strip is made against the same with it off. It ends with a table of saved size against the window's
estimate, SSIM and time over picture kinds, cut lengths and rates (--sizes: only that table).
Usage: bench/run.py BUILD_DIR [--runs N] [--quick] [--presets] [--instructions] [--hdr]
                    [--preview] [--sizes] [--timeline]
"""
import argparse
import os
import re
import statistics
import subprocess
import sys
import time

BENCH_DIR = os.environ.get("TRIMWELL_BENCH_DIR", "/var/tmp/trimwell-bench")
FFMPEG = ["ffmpeg", "-nostdin", "-v", "error", "-y"]


def make_source(name, args):
    path = os.path.join(BENCH_DIR, name)
    if not os.path.exists(path):
        print(f"making {name} ...", flush=True)
        tmp = path + ".tmp.mp4"
        subprocess.run(FFMPEG + args + [tmp], check=True)
        os.rename(tmp, path)
    return path


def sources():
    os.makedirs(BENCH_DIR, exist_ok=True)
    detail = "noise=alls=10:allf=t"
    tone = ["-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000"]
    long = make_source("1080p-10min.mp4", [
        "-f", "lavfi", "-i", f"testsrc2=size=1920x1080:rate=30,{detail}", *tone, "-t", "600",
        "-c:v", "libx264", "-preset", "ultrafast", "-g", "60", "-b:v", "12M",
        "-c:a", "aac", "-b:a", "128k"])
    uhd = make_source("2160p-15s.mp4", [
        "-f", "lavfi", "-i", f"testsrc2=size=3840x2160:rate=30,{detail}", *tone, "-t", "15",
        "-c:v", "libx264", "-preset", "ultrafast", "-g", "60", "-b:v", "40M",
        "-c:a", "aac", "-b:a", "128k"])
    flat = make_source("portrait-stage.mp4", [
        "-f", "lavfi", "-i", f"testsrc2=size=1920x1080:rate=30,{detail}", *tone, "-t", "15",
        "-c:v", "libx264", "-preset", "ultrafast", "-g", "60", "-b:v", "12M",
        "-c:a", "aac", "-b:a", "128k"])
    # Downloaded and screen-recorded movies often go many seconds between key frames, with
    # B-pictures between: a cut inside such a stretch decodes everything from its key frame.
    sparse = make_source("1080p-keys-10s.mp4", [
        "-f", "lavfi", "-i", f"testsrc2=size=1920x1080:rate=30,{detail}", *tone, "-t", "30",
        "-c:v", "libx264", "-preset", "faster", "-g", "300", "-keyint_min", "300",
        "-sc_threshold", "0", "-b:v", "8M", "-c:a", "aac", "-b:a", "128k"])
    portrait = os.path.join(BENCH_DIR, "portrait.mp4")
    if not os.path.exists(portrait):
        # A phone's portrait movie: landscape pictures with a quarter turn in the metadata.
        subprocess.run(FFMPEG + ["-i", flat, "-c", "copy", "-metadata:s:v:0", "rotate=270", portrait],
                       check=True)
    return long, uhd, portrait, sparse


def hdr_sources(size="1920x1080", rate=30, seconds=10, megabits=20):
    """The same pictures as an SDR and an HLG phone clip (HEVC 10-bit)."""
    os.makedirs(BENCH_DIR, exist_ok=True)
    picture = ["-f", "lavfi", "-i", f"testsrc2=size={size}:rate={rate},noise=alls=10:allf=t",
               "-t", str(seconds)]
    hevc = ["-c:v", "libx265", "-preset", "ultrafast", "-x265-params", "log-level=error",
            "-b:v", f"{megabits}M", "-pix_fmt", "yuv420p10le"]
    height = size.split("x")[1]
    # The 1080p30 names are those the earlier runs cached.
    name = f"{height}p" if rate == 30 else f"{height}p{rate}"
    sdr = make_source(f"{name}-sdr-hevc10.mp4", picture + hevc + [
        "-color_primaries", "bt709", "-color_trc", "bt709", "-colorspace", "bt709"])
    master = ("setparams=color_primaries=bt709:color_trc=bt709:colorspace=bt709:range=tv,"
              "zscale=t=linear:npl=100,format=gbrpf32le,zscale=p=2020:m=2020_ncl:r=tv:t=arib-std-b67")
    hlg = make_source(f"{name}-hlg-hevc10.mp4", picture + ["-vf", master] + hevc + [
        "-color_primaries", "bt2020", "-color_trc", "arib-std-b67", "-colorspace", "bt2020nc"])
    return sdr, hlg


def phone_sources():
    """Phone clips as they are recorded today: 1080p60 and 2160p60, HLG and an SDR twin."""
    return {"1080p60": hdr_sources("1920x1080", 60, 8, 20),
            "2160p60": hdr_sources("3840x2160", 60, 4, 50)}


def with_sound(path):
    """The clip with a phone's sound track beside its pictures: libmpv keeps time by the
    sound and drops pictures by how late they are against it, as it does on a real clip."""
    return make_source(os.path.basename(path).replace(".mp4", "-sound.mp4"), [
        "-i", path, "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000", "-map", "0:v",
        "-map", "1:a", "-c:v", "copy", "-c:a", "aac", "-b:a", "128k", "-shortest"])


def look_twin(hlg, megabits):
    """An SDR twin in the HLG clip's own look: its pictures tone-mapped as a save does (the
    float chain the save's table is made from). The plain SDR twin is brighter, and x264
    spends a different effort on brighter pictures, which is no cost of tone mapping."""
    name = os.path.basename(hlg).replace("-hlg-", "-sdr-look-")
    chain = ("zscale=t=linear:npl=100,format=gbrpf32le,zscale=p=bt709,"
             "tonemap=tonemap=mobius:desat=0,zscale=t=bt709:m=bt709:r=tv,format=yuv420p10le")
    return make_source(name, [
        "-i", hlg, "-vf", chain, "-c:v", "libx265", "-preset", "ultrafast", "-x265-params",
        "log-level=error", "-b:v", f"{megabits}M", "-pix_fmt", "yuv420p10le",
        "-color_primaries", "bt709", "-color_trc", "bt709", "-colorspace", "bt709"])


def hdr_cost(build, runs):
    """What tone mapping adds to a save: the same cut of each HLG phone clip and of its SDR
    twin, who goes first alternating; the ratio is the median of adjacent pairs."""
    print("\n| HEVC 10-bit, 60 fps | cut | SDR wall s | HLG wall s | HLG / SDR | SDR CPU s | "
          "HLG CPU s |")
    print("|---|---|---|---|---|---|---|")
    out = os.path.join(BENCH_DIR, "ours.mp4")
    phones = phone_sources()
    cases = []
    for label, length, megabits in (("1080p60", 4, 20), ("2160p60", 2, 50)):
        sdr, hlg = phones[label]
        cases.append((label, "plain SDR", sdr, hlg, length))
        cases.append((label, "SDR in its look", look_twin(hlg, megabits), hlg, length))
    for label, twin, sdr, hlg, length in cases:
        sdr_cmd = ours_cut(build, sdr, out, 1, length, 8)
        hlg_cmd = ours_cut(build, hlg, out, 1, length, 8)
        timed(sdr_cmd)
        timed(hlg_cmd)
        plain, mapped = [], []
        for i in range(runs):
            pair = [(plain, sdr_cmd), (mapped, hlg_cmd)]
            for rows, cmd in (pair if i % 2 == 0 else reversed(pair)):
                rows.append(timed(cmd))
        med = lambda rows, i: statistics.median(r[i] for r in rows)
        ratio = statistics.median(m[0] / p[0] for p, m in zip(plain, mapped))
        print(f"| {label}, {twin} | {length} s | {med(plain, 0):.2f} | {med(mapped, 0):.2f} | "
              f"{ratio:.2f} | {med(plain, 1):.2f} | {med(mapped, 1):.2f} |", flush=True)


def timed(cmd):
    """Wall seconds, CPU seconds (user + system) and peak resident KB of one run."""
    start = time.monotonic()
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.monotonic() - start
    err = proc.stderr.read().decode(errors="replace")
    proc.stderr.close()
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"failed: {' '.join(cmd)}\n{err}")
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss


def bitrate(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                          "stream=bit_rate", "-of", "default=nw=1:nk=1", path],
                         capture_output=True, text=True).stdout.strip()
    return float(out) / 1e6 if out and out != "N/A" else float("nan")


def rate_control(megabits):
    """x264's rate control as our export sets it (src/platform/media/WriterInput.cpp): a tight
    tolerance, a buffer of one second's bits refilled at up to twice the rate, a quantiser
    floor. Kept the same here so that both sides do the same work."""
    kilobits = int(megabits * 1e6) // 1000
    return f"ratetol=0.03:vbv-maxrate={2 * kilobits}:vbv-bufsize={kilobits}:qpmin=18"


def ffmpeg_cut(source, out, start, length, megabits, preset="fast"):
    return FFMPEG + ["-ss", str(start), "-i", source, "-t", str(length),
                     "-c:v", "libx264", "-preset", preset, "-b:v", f"{int(megabits * 1e6)}",
                     "-x264-params", rate_control(megabits),
                     "-profile:v", "high", "-pix_fmt", "yuv420p",
                     "-c:a", "aac", "-b:a", "160k", "-movflags", "+faststart", out]


def ours_cut(build, source, out, start, length, megabits):
    return [os.path.join(build, "src/app/trimwell-cut"), source, out, str(start),
            str(start + length), str(megabits)]


def picture_digests(path):
    """One digest per decoded picture: equal lists mean x264 was given the same work."""
    out = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", "0:v:0",
                          "-f", "framemd5", "-"], capture_output=True, text=True).stdout
    return [line.rsplit(",", 1)[-1].strip() for line in out.splitlines() if not line.startswith("#")]


def compare(build, label, source, start, length, megabits, runs):
    ours_out = os.path.join(BENCH_DIR, "ours.mp4")
    theirs_out = os.path.join(BENCH_DIR, "ffmpeg.mp4")
    ours_cmd = ours_cut(build, source, ours_out, start, length, megabits)
    theirs_cmd = ffmpeg_cut(source, theirs_out, start, length, megabits)
    # A virtual machine may hand memory that sat unused for a few seconds back to its host, and
    # the first job to touch it again pays seconds of page clearing: an untimed run of each
    # warms it for both. Who goes first then alternates, and the ratio is the median of adjacent
    # pairs, so a drift in the host's speed during a case weighs on both sides alike.
    timed(ours_cmd)
    timed(theirs_cmd)
    ours, theirs = [], []
    for i in range(runs):
        if i % 2 == 0:
            ours.append(timed(ours_cmd))
            theirs.append(timed(theirs_cmd))
        else:
            theirs.append(timed(theirs_cmd))
            ours.append(timed(ours_cmd))
    med = lambda rows, i: statistics.median(r[i] for r in rows)
    ours_pictures, theirs_pictures = picture_digests(ours_out), picture_digests(theirs_out)
    row = {
        "case": label,
        "ours_wall": med(ours, 0), "ffmpeg_wall": med(theirs, 0),
        "ours_cpu": med(ours, 1), "ffmpeg_cpu": med(theirs, 1),
        "ours_rss": max(r[2] for r in ours) / 1024, "ffmpeg_rss": max(r[2] for r in theirs) / 1024,
        "ours_rate": bitrate(ours_out), "ffmpeg_rate": bitrate(theirs_out),
        "ratio": statistics.median(t[0] / o[0] for o, t in zip(ours, theirs)),
        "same": "yes" if ours_pictures and ours_pictures == theirs_pictures else "no",
    }
    print(f"| {label} | {row['ours_wall']:.2f} | {row['ffmpeg_wall']:.2f} | {row['ratio']:.2f} | "
          f"{row['ours_cpu']:.2f} | {row['ffmpeg_cpu']:.2f} | {row['ours_rss']:.0f} | "
          f"{row['ffmpeg_rss']:.0f} | {row['ours_rate']:.2f} | {row['ffmpeg_rate']:.2f} | "
          f"{row['same']} |", flush=True)
    return row


def instructions(cmd):
    """Instructions the whole process executes (all threads), as callgrind counts them."""
    out = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null"] + cmd,
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True).stderr
    m = re.search(r"Collected : (\d+)", out)
    if not m:
        sys.exit(f"callgrind failed: {' '.join(cmd)}\n{out}")
    return int(m.group(1))


def count_instructions(build, label, source, start, length, megabits):
    ours_out = os.path.join(BENCH_DIR, "ours.mp4")
    theirs_out = os.path.join(BENCH_DIR, "ffmpeg.mp4")
    ours = instructions(ours_cut(build, source, ours_out, start, length, megabits))
    theirs = instructions(ffmpeg_cut(source, theirs_out, start, length, megabits))
    pictures = picture_digests(ours_out)
    same = "yes" if pictures and pictures == picture_digests(theirs_out) else "no"
    print(f"| {label} | {ours / 1e9:.3f} | {theirs / 1e9:.3f} | {theirs / ours:.3f} | {same} |",
          flush=True)


def single(build, program, source, runs):
    out = subprocess.run([os.path.join(build, "bench", program), source, str(runs)],
                         capture_output=True, text=True, env={**os.environ, "QT_QPA_PLATFORM": "offscreen"})
    return out.stdout.strip() or out.stderr.strip()


def preview_sources():
    """A minute of 1080p30 and 20 s of 2160p30, a key frame every 2 s, with sound."""
    os.makedirs(BENCH_DIR, exist_ok=True)
    detail = "noise=alls=10:allf=t"
    tone = ["-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000"]
    hd = make_source("1080p-1min.mp4", [
        "-f", "lavfi", "-i", f"testsrc2=size=1920x1080:rate=30,{detail}", *tone, "-t", "60",
        "-c:v", "libx264", "-preset", "ultrafast", "-g", "60", "-b:v", "12M",
        "-c:a", "aac", "-b:a", "128k"])
    uhd = make_source("2160p-20s.mp4", [
        "-f", "lavfi", "-i", f"testsrc2=size=3840x2160:rate=30,{detail}", *tone, "-t", "20",
        "-c:v", "libx264", "-preset", "ultrafast", "-g", "60", "-b:v", "40M",
        "-c:a", "aac", "-b:a", "128k"])
    return hd, uhd


def preview(build):
    """The real window on a virtual display: a frame step's time to the new picture drawn,
    and while the preview plays, the process's CPU use and the pictures shown and dropped."""
    long, uhd = preview_sources()
    phones = phone_sources()
    def window(*args):
        out = subprocess.run(["xvfb-run", "-a", "-s", "-screen 0 1920x1080x24",
                              os.path.join(build, "bench", "trimwell-bench-step"), *args],
                             capture_output=True, text=True,
                             env={k: v for k, v in os.environ.items() if k != "QT_QPA_PLATFORM"})
        return out.stdout.strip() or out.stderr.strip()
    # The 1080p source has a key frame every 2 s.
    print(f"frame steps, 1080p with a key frame every 2 s: {window('step', long, '30')}")
    # J from the end, 1x to 8x: libmpv decodes each 2 s stretch forward and shows it reversed.
    print("\n| playing backward, 1080p30 H.264 | shown /s | movie s gone back /s |")
    print("|---|---|---|")
    for presses, pace in ((1, "1x"), (2, "2x"), (3, "4x"), (4, "8x")):
        line = window("back", long, "4" if presses < 3 else "2", str(presses))
        m = re.match(r"back shown_per_s ([0-9.]+) went_back_s_per_s ([-0-9.]+)", line)
        print(f"| {pace} | {' | '.join(m.groups()) if m else line} |", flush=True)
    print("\n| playing, default window | CPU cores | shown /s | dropped by output /s | "
          "skipped by decoder /s |")
    print("|---|---|---|---|---|")
    # Played from the start for a second, then measured for most of what is left.
    cases = [("1080p30 H.264", long, 4), ("2160p30 H.264", uhd, 4),
             ("1080p60 HLG", with_sound(phones["1080p60"][1]), 4),
             ("2160p60 HLG", with_sound(phones["2160p60"][1]), 2.5),
             ("2160p60 SDR", with_sound(phones["2160p60"][0]), 2.5)]
    for label, source, seconds in cases:
        line = window("play", source, str(seconds))
        m = re.match(r"play cores ([0-9.]+) shown_per_s ([0-9.]+) dropped_per_s ([0-9.]+) "
                     r"decoder_dropped_per_s ([0-9.]+)", line)
        if not m:
            print(f"| {label} | {line} | | | |", flush=True)
            continue
        print(f"| {label} | {' | '.join(m.groups())} |", flush=True)


SIZE_KINDS = {
    # name: the lavfi picture; each source is 70 s of 720p30 with a tone.
    "clean": "testsrc2=size=1280x720:rate=30",
    "grainy": "testsrc2=size=1280x720:rate=30,noise=alls=30:allf=t",
    "high-entropy": "testsrc2=size=1280x720:rate=30,noise=alls=80:allf=t+u",
    # Calm until 35 s, grain from then on: every cut below is centred on the change.
    "calm-then-busy": "testsrc2=size=1280x720:rate=30,noise=alls=30:allf=t:enable='gte(t,35)'",
    "slides": "testsrc=size=1280x720:rate=1/5,fps=30",
}


def ssim(out, source, start, length):
    err = subprocess.run(["ffmpeg", "-nostdin", "-i", out, "-ss", str(start), "-t", str(length),
                          "-i", source, "-lavfi", "[0:v][1:v]ssim", "-f", "null", "-"],
                         capture_output=True, text=True).stderr
    m = re.search(r"All:([0-9.]+)", err)
    return float(m.group(1)) if m else float("nan")


def two_pass(source, out, start, length, megabits):
    """The same cut as a two-pass encode at the same rate and preset: the best a
    size-targeted encode does, and what the one pass is held against."""
    log = os.path.join(BENCH_DIR, "two-pass")
    common = FFMPEG + ["-ss", str(start), "-i", source, "-t", str(length), "-c:v", "libx264",
                       "-preset", "fast", "-b:v", f"{int(megabits * 1e6)}", "-profile:v", "high",
                       "-pix_fmt", "yuv420p", "-passlogfile", log]
    subprocess.run(common + ["-pass", "1", "-an", "-f", "null", "-"], check=True)
    subprocess.run(common + ["-pass", "2", "-c:a", "aac", "-b:a", "160k", "-movflags",
                             "+faststart", out], check=True)


def sizes(build, lengths, kinds):
    """Saved size against the window's estimate (length × (rate + 160 kb/s) ÷ 8), SSIM against
    the source and wall time of our export, per picture kind, cut length and rate; for the
    grainy and calm-then-busy kinds also a two-pass encode's size and SSIM."""
    os.makedirs(BENCH_DIR, exist_ok=True)
    tone = ["-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000"]
    paths = {k: make_source(f"sizes-{k}.mp4", ["-f", "lavfi", "-i", SIZE_KINDS[k], *tone, "-t", "70",
                                               "-c:v", "libx264", "-preset", "ultrafast", "-crf", "12",
                                               "-g", "60", "-c:a", "aac", "-b:a", "128k"])
             for k in kinds}
    out = os.path.join(BENCH_DIR, "sizes-ours.mp4")
    reference = os.path.join(BENCH_DIR, "sizes-two-pass.mp4")
    print("\n| picture | cut s | Mb/s | saved ÷ estimate | SSIM | wall s | two-pass saved ÷ estimate "
          "| two-pass SSIM |")
    print("|---|---|---|---|---|---|---|---|")
    for length in lengths:
        start = 35 - length / 2
        for kind in kinds:
            for megabits in (0.5, 4, 20):
                wall, _, _ = timed(ours_cut(build, paths[kind], out, start, length, megabits))
                estimate = length * (megabits * 1e6 + 160_000) / 8
                row = (f"| {kind} | {length:g} | {megabits:g} | {os.path.getsize(out) / estimate:.3f} | "
                       f"{ssim(out, paths[kind], start, length):.4f} | {wall:.2f} |")
                if kind in ("grainy", "calm-then-busy") and length in (3, 10):
                    two_pass(paths[kind], reference, start, length, megabits)
                    row += (f" {os.path.getsize(reference) / estimate:.3f} | "
                            f"{ssim(reference, paths[kind], start, length):.4f} |")
                else:
                    row += " | |"
                print(row, flush=True)


def presets(source, start, length):
    print("\n| preset | encode wall s | encode CPU s | SSIM (All) |")
    print("|---|---|---|---|")
    reference = os.path.join(BENCH_DIR, "reference.y4m")
    for preset in ["ultrafast", "superfast", "veryfast", "faster", "fast", "medium"]:
        out = os.path.join(BENCH_DIR, f"preset-{preset}.mp4")
        wall, cpu, _ = timed(ffmpeg_cut(source, out, start, length, 4, preset))
        ssim = subprocess.run(["ffmpeg", "-nostdin", "-i", out, "-ss", str(start), "-t", str(length),
                               "-i", source, "-lavfi", "[0:v][1:v]ssim", "-f", "null", "-"],
                              capture_output=True, text=True).stderr
        m = re.search(r"All:([0-9.]+)", ssim)
        print(f"| {preset} | {wall:.2f} | {cpu:.2f} | {m.group(1) if m else '?'} |", flush=True)


def timeline_sources():
    """An hour of 1080p30 H.264 with AAC sound (a key frame every 8 s) and ten minutes of
    2160p30 HEVC (a key frame every second, as cameras write): a short clip each, encoded
    once and repeated by stream copy."""
    os.makedirs(BENCH_DIR, exist_ok=True)
    detail = "noise=alls=10:allf=t"
    tone = ["-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000"]
    minute = make_source("1080p-1min-keys8s.mp4", [
        "-f", "lavfi", "-i", f"testsrc2=size=1920x1080:rate=30,{detail}", *tone, "-t", "60",
        "-c:v", "libx264", "-preset", "ultrafast", "-g", "240", "-keyint_min", "240",
        "-sc_threshold", "0", "-b:v", "6M", "-c:a", "aac", "-b:a", "128k"])
    hour = make_source("1080p-1hour.mp4", ["-stream_loop", "59", "-i", minute, "-c", "copy"])
    clip = make_source("2160p-hevc-10s.mp4", [
        "-f", "lavfi", "-i", "testsrc2=size=3840x2160:rate=30,noise=alls=6:allf=t", *tone,
        "-t", "10", "-c:v", "libx265", "-preset", "ultrafast",
        "-x265-params", "keyint=30:min-keyint=30:scenecut=0:log-level=error", "-b:v", "25M",
        "-c:a", "aac", "-b:a", "128k"])
    uhd = make_source("2160p-hevc-10min.mp4", ["-stream_loop", "59", "-i", clip, "-c", "copy"])
    return hour, uhd


def timeline_figures(build, movie, *args):
    out = subprocess.run([os.path.join(build, "bench", "trimwell-bench-timeline"), movie, *args],
                         capture_output=True, text=True, check=True)
    return dict(line.split(" ", 1) for line in out.stdout.strip().splitlines())


def timeline(build):
    """What the timeline strip reads: pictures from key frames and the waveform, warm (the
    movie in the page cache) and cold (dropped from it before each reading)."""
    hour, uhd = timeline_sources()
    print("\n| timeline | first picture ms | row of 12 ms | row of 60 ms | waveform ms "
          "(first run ms) | row of 60 + waveform side by side ms | peak memory growth MB |")
    print("|---|---|---|---|---|---|---|")
    for label, movie, args in (("1 h 1080p H.264, warm", hour, []),
                               ("1 h 1080p H.264, cold", hour, ["--cold"]),
                               ("10 min 2160p HEVC, warm", uhd, []),
                               ("10 min 2160p HEVC, cold", uhd, ["--cold"])):
        if "warm" in label:
            timeline_figures(build, movie, "--rows", "12", "--no-sound")  # into the cache
        f = timeline_figures(build, movie, *args)
        print(f"| {label} | {float(f['row12_first_ms']):.0f} | {float(f['row12_all_ms']):.0f} | "
              f"{float(f['row60_all_ms']):.0f} | {float(f['waveform_all_ms']):.0f} "
              f"({float(f['waveform_first_chunk_ms']):.0f}) | {float(f['together_all_ms']):.0f} | "
              f"{float(f['peak_rss_growth_mb']):.0f} |", flush=True)
    timeline_window(build, hour)


def timeline_window(build, hour):
    """The real window on a virtual display with the hour-long movie just opened (dropped from
    the page cache first, so the waveform takes its longest): frame steps and playing while
    the strip makes its pictures and waveform, against the same with View > Timeline pictures
    off; and when the strip's pieces arrived in the window."""
    def window(*args):
        out = subprocess.run(["xvfb-run", "-a", "-s", "-screen 0 1920x1080x24",
                              os.path.join(build, "bench", "trimwell-bench-timeline-step"), *args],
                             capture_output=True, text=True,
                             env={k: v for k, v in os.environ.items() if k != "QT_QPA_PLATFORM"})
        lines = [l for l in out.stdout.strip().splitlines() if " " in l]
        if out.returncode != 0 or not lines:
            print(f"trimwell-bench-timeline-step {' '.join(args)}: {out.stderr.strip()[-300:]}")
        return dict(line.split(" ", 1) for line in lines)

    steps = 30
    print(f"\n| window, 1 h 1080p, cold | forward step median ms | forward max ms | "
          f"back step median ms | back max ms | steps while the strip was made | "
          f"strip's first picture ms | row ms | waveform ms | peak memory growth MB |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for label, extra in (("strip on", []), ("strip off", ["--off"])):
        f = window("step", hour, str(steps), "--cold", *extra)
        if "steps_ms" not in f:
            continue
        taken = [float(x) for x in f["steps_ms"].split(",")]
        forward, back = taken[:steps], taken[steps:]
        arrived = ["-" if float(f[k]) < 0 else f"{float(f[k]):.0f}"
                   for k in ("first_picture_ms", "row_ms", "waveform_ms")]
        print(f"| {label} | {statistics.median(forward):.1f} | {max(forward):.1f} | "
              f"{statistics.median(back):.1f} | {max(back):.1f} | "
              f"{f['working_steps']} of {len(taken)} | {' | '.join(arrived)} | "
              f"{float(f['peak_rss_growth_mb']):.0f} |", flush=True)
    print("\n| window playing 1 h 1080p from its opening, cold, 5 s | shown /s | dropped by output /s "
          "| skipped by decoder /s | share of the time the strip was being made |")
    print("|---|---|---|---|---|")
    for label, extra in (("strip on", []), ("strip off", ["--off"])):
        f = window("play", hour, "5", "--cold", *extra)
        if "shown_per_s" not in f:
            continue
        print(f"| {label} | {f['shown_per_s']} | {f['dropped_per_s']} | "
              f"{f['decoder_dropped_per_s']} | {f['working_share']} |", flush=True)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("build")
    p.add_argument("--runs", type=int, default=3)
    p.add_argument("--quick", action="store_true", help="skip the ten-minute cut")
    p.add_argument("--presets", action="store_true", help="also measure x264 presets")
    p.add_argument("--hdr", action="store_true", help="only the cost of tone-mapping HDR clips")
    p.add_argument("--preview", action="store_true",
                   help="only the window's frame steps and its CPU use while playing")
    p.add_argument("--timeline", action="store_true",
                   help="only the timeline's pictures and waveform on an hour-long movie")
    p.add_argument("--sizes", action="store_true",
                   help="only the size table: saved size against the estimate, SSIM, time")
    p.add_argument("--instructions", action="store_true",
                   help="count instructions under callgrind instead of timing (needs valgrind)")
    a = p.parse_args()
    if a.hdr:
        hdr_cost(a.build, a.runs)
        return
    if a.preview:
        preview(a.build)
        return
    if a.sizes:
        sizes(a.build, (1, 3, 10, 60), list(SIZE_KINDS))
        return
    if a.timeline:
        timeline(a.build)
        return
    long, uhd, portrait, sparse = sources()
    if a.instructions:
        # Under callgrind a second of 1080p takes about a minute, so the cuts are short; the
        # counts include each side's fixed costs (start-up, opening, probing).
        print("| short cut | ours G instructions | ffmpeg G instructions | ratio | same pictures |")
        print("|---|---|---|---|---|")
        count_instructions(a.build, "1. 1080p, 1 s at 4 Mb/s", long, 30, 1, 4)
        count_instructions(a.build, "2. 2160p, 0.5 s at 12 Mb/s", uhd, 2, 0.5, 12)
        count_instructions(a.build, "3. portrait phone movie, 1 s", portrait, 2, 1, 4)
        count_instructions(a.build, "6. key frames 10 s apart, 1 s cut 8 s after one", sparse, 18, 1, 4)
        return
    print(f"machine: {os.cpu_count()} cores, {os.uname().release}; runs per side: {a.runs}\n")
    print("| case | ours wall s | ffmpeg wall s | ratio | ours CPU s | ffmpeg CPU s | ours peak MB | "
          "ffmpeg peak MB | ours Mb/s | ffmpeg Mb/s | same pictures |")
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    compare(a.build, "1. 1080p, 20 s at 4 Mb/s", long, 30, 20, 4, a.runs)
    compare(a.build, "2. 2160p, 10 s at 12 Mb/s", uhd, 2, 10, 12, a.runs)
    compare(a.build, "3. portrait phone movie, 10 s", portrait, 2, 10, 4, a.runs)
    early = compare(a.build, "4a. 10 s at 0:05 of 10 min", long, 5, 10, 4, a.runs)
    late = compare(a.build, "4b. 10 s at 9:40 of 10 min", long, 580, 10, 4, a.runs)
    compare(a.build, "6. key frames 10 s apart, 4 s cut 8 s after one", sparse, 18, 4, 4, a.runs)
    if not a.quick:
        compare(a.build, "memory: the whole 10 min", long, 0, 600, 4, 1)
    print(f"\nposition: 9:40 costs {late['ours_wall'] / early['ours_wall']:.2f}× what 0:05 costs")
    print(f"open (asset inspection), median ms: {single(a.build, 'trimwell-bench-open', long, 21)}")
    print(f"exact seek in the player, median ms: {single(a.build, 'trimwell-bench-seek', long, 15)}")
    hdr_cost(a.build, a.runs)
    preview(a.build)
    sizes(a.build, (1, 3, 10, 60), list(SIZE_KINDS))
    timeline(a.build)
    if a.presets:
        presets(long, 30, 20)


if __name__ == "__main__":
    main()
