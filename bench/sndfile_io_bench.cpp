// How fast libsndfile moves a stereo float WAV through each of its
// interfaces, to choose the command-line host's: float frames, double
// frames, or raw bytes. Prints the median of seven runs of each, in CPU
// time (user and system), which a machine shared with other work disturbs
// less than wall time.
//
//   build/native/bin/korvel_io_bench [SECONDS]     (default 60)
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr int kRate = 44100;
constexpr sf_count_t kBlock = 16384;

double Median(std::function<void()> run) {
  std::vector<double> times;
  for (int i = 0; i < 7; ++i) {
    const std::clock_t start = std::clock();
    run();
    times.push_back(static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC);
  }
  std::sort(times.begin(), times.end());
  return times[3];
}

template <class Sample>
void Copy(const std::string& from, const std::string& to,
          sf_count_t (*read)(SNDFILE*, Sample*, sf_count_t), sf_count_t (*write)(SNDFILE*, const Sample*, sf_count_t),
          sf_count_t per_frame) {
  SF_INFO info{};
  SNDFILE* in = sf_open(from.c_str(), SFM_READ, &info);
  SNDFILE* out = sf_open(to.c_str(), SFM_WRITE, &info);
  std::vector<Sample> block(kBlock * per_frame);
  for (sf_count_t got; (got = read(in, block.data(), kBlock)) > 0;) write(out, block.data(), got);
  sf_close(in);
  sf_close(out);
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 60.0;
  const std::string dir = "/tmp/korvel-io-bench-" + std::to_string(getpid());
  const std::string in = dir + "-in.wav", out = dir + "-out.wav";
  {
    SF_INFO info{};
    info.samplerate = kRate;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(in.c_str(), SFM_WRITE, &info);
    std::vector<float> block(2 * kBlock);
    std::uint32_t state = 1;
    for (sf_count_t done = 0, total = static_cast<sf_count_t>(seconds * kRate); done < total; done += kBlock) {
      for (float& v : block) v = static_cast<float>(static_cast<std::int32_t>(state = state * 1664525u + 1013904223u)) * 2.3e-10f;
      sf_writef_float(file, block.data(), std::min(kBlock, total - done));
    }
    sf_close(file);
  }
  std::printf("%.0f s of stereo 32-bit float WAV, copied in blocks of %lld frames (CPU time, median of 7)\n", seconds,
              static_cast<long long>(kBlock));
  std::printf("  float frames   %.4f s\n", Median([&] { Copy<float>(in, out, sf_readf_float, sf_writef_float, 2); }));
  std::printf("  double frames  %.4f s\n", Median([&] { Copy<double>(in, out, sf_readf_double, sf_writef_double, 2); }));
  std::printf("  raw bytes      %.4f s\n", Median([&] {
                Copy<char>(
                    in, out, [](SNDFILE* f, char* p, sf_count_t n) { return sf_read_raw(f, p, n * 8) / 8; },
                    [](SNDFILE* f, const char* p, sf_count_t n) { return sf_write_raw(f, p, n * 8) / 8; }, 8);
              }));
  std::remove(in.c_str());
  std::remove(out.c_str());
  return 0;
}
