// Whole-job timings for bench/run_bench.py, in milliseconds on stdout.
//
//   job_timer compare LUT IMAGE OUT REPS   the apply path and the codec floor,
//                                          alternated; medians and a breakdown
//   job_timer small LUT IMAGE OUT SECONDS  calls per second of the apply path
//   job_timer memory-job LUT IMAGE OUT     peak RSS (KiB) of a process that applies once
//   job_timer memory-floor IMAGE           peak RSS (KiB) of one that runs stb alone
//   job_timer writer IMAGE REPS            the JPEG writer alone on each path, and
//                                          stb's; the fastest of REPS runs each, in
//                                          wall and in CPU time
//
// The codec floor is what no apply can beat: stbi_load and the module's JPEG
// writer into a sink that discards the bytes, with the quality the pipeline
// passes (3 x width). The memory floor runs stb's own writer, as every call
// did before the module had a writer of its own. The encoder's time depends on the
// pixels it is given, and a grade changes them; the same-pixels floor times
// decode and encode of the graded image (the grading itself untimed), so the
// ratio to it is what the apply adds around the codecs.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include <stb_image.h>
#include <stb_image_write.h>
#include <time.h>
#include <unistd.h>

#include "apply_pipeline.hpp"
#include "encode/jpeg_writer.hpp"
#include "image_codec.hpp"
#include "output_file.hpp"

namespace {

using clock_type = std::chrono::steady_clock;

double ms_since(clock_type::time_point start) {
  return std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0.0 : v[v.size() / 2];
}

// The high-water mark of this process's own memory map. getrusage's
// ru_maxrss would not do: it survives exec, so a child started from a large
// parent reports the parent's peak.
long peak_rss_kib() {
  std::FILE* status = std::fopen("/proc/self/status", "r");
  if (!status) return -1;
  char line[256];
  long kib = -1;
  while (std::fgets(line, sizeof line, status)) {
    if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1) break;
  }
  std::fclose(status);
  return kib;
}

void discard(void*, void*, int) {}

// Lends one buffer over and over, as a file's sink would, and drops it.
class discarding_sink final : public tonvik::codec::byte_sink {
 public:
  unsigned char* reserve(std::size_t size) override { return size <= room_.size() ? room_.data() : nullptr; }
  void commit(std::size_t) override {}

 private:
  std::vector<unsigned char> room_ = std::vector<unsigned char>(min_reserve);
};

void encode_discarding(const unsigned char* pixels, int w, int h) {
  discarding_sink sink;
  tonvik::codec::write_jpeg(sink, pixels, w, h, 3 * w);
}

bool codec_floor(const std::string& image) {
  int w = 0, h = 0, c = 0;
  unsigned char* pixels = stbi_load(image.c_str(), &w, &h, &c, 3);
  if (!pixels) return false;
  encode_discarding(pixels, w, h);
  stbi_image_free(pixels);
  return true;
}

bool stb_floor(const std::string& image) {
  int w = 0, h = 0, c = 0;
  unsigned char* pixels = stbi_load(image.c_str(), &w, &h, &c, 3);
  if (!pixels) return false;
  stbi_write_jpg_to_func(discard, nullptr, w, h, 3, pixels, 3 * w);
  stbi_image_free(pixels);
  return true;
}

// Decode and encode time, in ms, of the image as the apply hands it to the
// encoder; negative on failure.
double same_pixels_floor(const vireth::image::lut& table, const std::string& image) {
  int w = 0, h = 0, c = 0;
  auto t = clock_type::now();
  unsigned char* pixels = stbi_load(image.c_str(), &w, &h, &c, 3);
  double ms = ms_since(t);
  if (!pixels) return -1.0;
  vireth::image::map_pixels(table, pixels, static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
  t = clock_type::now();
  encode_discarding(pixels, w, h);
  ms += ms_since(t);
  stbi_image_free(pixels);
  return ms;
}

// The bridge's apply, as one call of the module runs it. The output is
// removed first: replacing an existing file adds an fsync that a fresh
// output does not pay, for every tool alike.
bool apply(const std::string& lut_path, const std::string& image, const std::string& out) {
  ::unlink(out.c_str());
  const vireth::image::lut table = tonvik::bridge::read_lut(lut_path);
  return std::string(tonvik::bridge::apply_to_file(table, image, out)) == "success:ok";
}

int compare(const std::string& lut_path, const std::string& image, const std::string& out, int reps) {
  std::vector<double> job, floor, same_floor, read, decode, decode_whole;
  const vireth::image::lut graded = tonvik::bridge::read_lut(lut_path);
  for (int i = 0; i < reps; ++i) {
    auto t = clock_type::now();
    if (!codec_floor(image)) return 1;
    floor.push_back(ms_since(t));
    const double same = same_pixels_floor(graded, image);
    if (same < 0) return 1;
    same_floor.push_back(same);
    t = clock_type::now();
    if (!apply(lut_path, image, out)) return 1;
    job.push_back(ms_since(t));
    // The same steps one by one, for the breakdown.
    ::unlink(out.c_str());
    t = clock_type::now();
    const vireth::image::lut table = tonvik::bridge::read_lut(lut_path);
    read.push_back(ms_since(t));
    // The decode alone, through the reader the apply uses, its strips read
    // and dropped; the whole decode beside it.
    t = clock_type::now();
    const tonvik::codec::image_file file = tonvik::codec::open_image_file(image);
    const auto reader = file.strips();
    for (int y = 0; y < reader->height() && reader->failure() == tonvik::codec::reader_failure::none; y += 16)
      reader->next_rows(y, std::min(16, reader->height() - y));
    if (!reader->finish()) return 1;
    decode.push_back(ms_since(t));
    t = clock_type::now();
    if (file.whole_image()->failure() != tonvik::codec::reader_failure::none) return 1;
    decode_whole.push_back(ms_since(t));
  }
  std::printf("job %.2f\nfloor %.2f\nsame_floor %.2f\nread_lut %.2f\ndecode %.2f\ndecode_whole %.2f\n",
              median(job), median(floor), median(same_floor), median(read), median(decode),
              median(decode_whole));
  return 0;
}

double thread_cpu_ms() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return now.tv_sec * 1e3 + now.tv_nsec * 1e-6;
}

// The writer alone on the decoded pixels, at the pipeline's quality: the
// fastest of `reps` runs in wall time and in this thread's CPU time (on a
// shared machine the CPU time is the steadier of the two).
int writer(const std::string& image, int reps) {
  int w = 0, h = 0, c = 0;
  unsigned char* pixels = stbi_load(image.c_str(), &w, &h, &c, 3);
  if (!pixels) return 1;
  const auto report = [reps](const char* name, auto&& encode) {
    double wall = 1e300, cpu = 1e300;
    for (int i = 0; i < reps; ++i) {
      const auto t = clock_type::now();
      const double cpu_start = thread_cpu_ms();
      encode();
      cpu = std::min(cpu, thread_cpu_ms() - cpu_start);
      wall = std::min(wall, ms_since(t));
    }
    std::printf("writer_%s %.2f\nwriter_%s_cpu %.2f\n", name, wall, name, cpu);
  };
  using tonvik::cpu::isa;
  for (isa level : {isa::avx2, isa::sse2, isa::portable}) {
    if (!tonvik::cpu::runs(level)) continue;
    discarding_sink sink;
    report(tonvik::cpu::name_of(level),
           [&] { tonvik::codec::write_jpeg_with(level, sink, pixels, w, h, 3 * w); });
  }
  report("stb", [&] { stbi_write_jpg_to_func(discard, nullptr, w, h, 3, pixels, 3 * w); });
  stbi_image_free(pixels);
  return 0;
}

int small(const std::string& lut_path, const std::string& image, const std::string& out, double seconds) {
  const auto start = clock_type::now();
  long calls = 0;
  while (ms_since(start) < seconds * 1000.0) {
    if (!apply(lut_path, image, out)) return 1;
    ++calls;
  }
  std::printf("calls_per_second %.1f\n", calls / (ms_since(start) / 1000.0));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> a(argv + 1, argv + argc);
  try {
    if (a.size() == 5 && a[0] == "compare") return compare(a[1], a[2], a[3], std::atoi(a[4].c_str()));
    if (a.size() == 5 && a[0] == "small") return small(a[1], a[2], a[3], std::atof(a[4].c_str()));
    if (a.size() == 4 && a[0] == "memory-job") {
      if (!apply(a[1], a[2], a[3])) return 1;
      std::printf("peak_kib %ld\n", peak_rss_kib());
      return 0;
    }
    if (a.size() == 3 && a[0] == "writer") return writer(a[1], std::atoi(a[2].c_str()));
    if (a.size() == 2 && a[0] == "memory-floor") {
      if (!stb_floor(a[1])) return 1;
      std::printf("peak_kib %ld\n", peak_rss_kib());
      return 0;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "job_timer: %s\n", e.what());
    return 1;
  }
  std::fprintf(stderr, "usage: see the comment at the top of job_timer.cpp\n");
  return 2;
}
