// vigilo-bench-ffmpeg: stands in for ffmpeg recording a show. It takes ffmpeg's arguments (the
// last one is the MP4 output), prints ffmpeg's header and then one progress line per half
// second of the show, as fast as the reader takes them: each line is written once the pipe is
// empty, so every line arrives as a read of its own, as it does from a real recorder.
//   VIGILO_BENCH_HOURS   hours of show to print (default 10)
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

bool writeAll(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(1, text.data() + done, text.size() - done);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Until the reader has taken everything written so far.
void waitDrained() {
    for (;;) {
        int pending = 0;
        if (::ioctl(1, FIONREAD, &pending) != 0 || pending == 0) return;
        timespec pause{0, 20000};
        ::nanosleep(&pause, nullptr);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const char* hoursText = std::getenv("VIGILO_BENCH_HOURS");
    const double hours = hoursText != nullptr ? std::atof(hoursText) : 10.0;
    const std::string output = argc > 1 ? argv[argc - 1] : "out.mp4";
    std::string input = "http://127.0.0.1/stream.flv";
    for (int i = 1; i + 1 < argc; ++i)
        if (std::string(argv[i]) == "-i") input = argv[i + 1];

    if (FILE* file = std::fopen(output.c_str(), "wb")) {
        std::fputs("not a real recording\n", file);
        std::fclose(file);
    }

    std::string header =
        "ffmpeg version 5.1.6-0+deb12u1 Copyright (c) 2000-2024 the FFmpeg developers\n"
        "  built with gcc 12 (Debian 12.2.0-14)\n"
        "Input #0, flv, from '" +
        input +
        "':\n"
        "  Metadata:\n"
        "    encoder         : Lavf59.27.100\n"
        "  Duration: N/A, start: 0.000000, bitrate: N/A\n"
        "  Stream #0:0: Video: h264 (High), yuv420p(progressive), 1280x720, 2500 kb/s, 25 fps, 25 tbr, 1k tbn\n"
        "  Stream #0:1: Audio: aac (LC), 44100 Hz, stereo, fltp, 128 kb/s\n"
        "Output #0, mpegts, to 'udp://127.0.0.1:11101':\n"
        "  Stream #0:0: Video: h264 (High), yuv420p(progressive), 1280x720, q=2-31, 2500 kb/s, 25 fps\n"
        "  Stream #0:1: Audio: aac (LC), 44100 Hz, stereo, fltp, 128 kb/s\n"
        "Output #1, mp4, to '" +
        output +
        "':\n"
        "  Stream #1:0: Video: h264 (High) (avc1 / 0x31637661), yuv420p(progressive), 1280x720\n"
        "  Stream #1:1: Audio: aac (LC) (mp4a / 0x6134706D), 44100 Hz, stereo, fltp, 128 kb/s\n"
        "Stream mapping:\n"
        "  Stream #0:0 -> #0:0 (copy)\n"
        "  Stream #0:1 -> #0:1 (copy)\n"
        "  Stream #0:0 -> #1:0 (copy)\n"
        "  Stream #0:1 -> #1:1 (copy)\n"
        "Press [q] to stop, [?] for help\n";
    if (!writeAll(header)) return 1;
    waitDrained();

    const long lines = static_cast<long>(hours * 3600 * 2);
    char line[256];
    for (long i = 1; i <= lines; ++i) {
        const long hundredths = i * 50;
        const long seconds = hundredths / 100;
        const long kilobytes = i * 165;  // about 2.6 Mbit/s
        std::snprintf(
            line, sizeof line,
            "frame=%6ld fps= 25 q=-1.0 Lq=-1.0 size=%9ldkB time=%02ld:%02ld:%02ld.%02ld bitrate=2703.4kbits/s "
            "speed=   1x    \r",
            i * 12 + i / 2, kilobytes, seconds / 3600, seconds / 60 % 60, seconds % 60, hundredths % 100);
        if (!writeAll(line)) return 1;
        waitDrained();
    }
    writeAll(
        "\nvideo:1234567kB audio:56789kB subtitle:0kB other streams:0kB global headers:0kB muxing overhead: 0.5%\n");
    return 0;
}
