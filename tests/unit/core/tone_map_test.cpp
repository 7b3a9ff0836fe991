// Tests of the HDR to SDR conversion: the curves against their published values, the table
// kernel against the double-precision reference, hue kept where BT.709 cannot show a colour.
#include "picture/tone_map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <random>
#include <vector>

#include "picture/convert.h"
#include "tests/support/std_bands.h"

namespace stillreel {
namespace {

using Bgr = std::array<int, 3>;

// One pixel (both rows, one chroma pair) through the scalar kernel.
Bgr Kernel(const ToneMapTables& tables, int32_t y, int32_t cb, int32_t cr) {
  uint8_t luma[4], chroma[4], out[8];
  if (tables.bits == 10) {
    const uint16_t ys[2] = {static_cast<uint16_t>(y << 6), static_cast<uint16_t>(y << 6)};
    const uint16_t cs[2] = {static_cast<uint16_t>(cb << 6), static_cast<uint16_t>(cr << 6)};
    std::memcpy(luma, ys, 4);
    std::memcpy(chroma, cs, 4);
  } else {
    luma[0] = luma[1] = static_cast<uint8_t>(y);
    chroma[0] = static_cast<uint8_t>(cb);
    chroma[1] = static_cast<uint8_t>(cr);
  }
  ToneMapRowsScalar(tables, luma, luma, chroma, out, out + 4, 1);
  return {out[0], out[1], out[2]};
}

void PutP010Word(uint8_t* at, uint32_t code) {
  const uint16_t word = static_cast<uint16_t>(code << 6);
  std::memcpy(at, &word, 2);
}

Bgr Rounded(const RgbColour& c) {
  const auto byte = [](double v) { return static_cast<int>(std::lround(255.0 * v)); };
  return {byte(c.blue), byte(c.green), byte(c.red)};
}

// Y'CbCr codes of non-linear BT.2020 R'G'B' in [0, 1], 10-bit studio range.
std::array<int32_t, 3> Encode2020(double r, double g, double b) {
  const double kr = 0.2627, kb = 0.0593, kg = 1 - kr - kb;
  const double y = kr * r + kg * g + kb * b;
  return {static_cast<int32_t>(std::lround(64 + 876 * y)),
          static_cast<int32_t>(std::lround(512 + 896 * (b - y) / (2 * (1 - kb)))),
          static_cast<int32_t>(std::lround(512 + 896 * (r - y) / (2 * (1 - kr))))};
}

TEST(ToneMap, CurvesGiveTheirPublishedValues) {
  // ST 2084: 100 nits at 0.5081, 1,000 at 0.7518, 10,000 at 1.
  EXPECT_NEAR(NitsToPq(100), 0.5081, 1e-4);
  EXPECT_NEAR(NitsToPq(1000), 0.7518, 1e-4);
  EXPECT_NEAR(PqToNits(1.0), 10000.0, 1e-6);
  for (const double nits : {0.01, 1.0, 203.0, 4000.0}) {
    EXPECT_NEAR(PqToNits(NitsToPq(nits)) / nits, 1.0, 1e-9) << nits;
  }
  // HLG: 1/12 at half signal, 1 at full; 75 % shows at 203 nits on a 1,000-nit display (BT.2408).
  EXPECT_NEAR(HlgToScene(0.5), 1.0 / 12, 1e-12);
  EXPECT_NEAR(HlgToScene(1.0), 1.0, 1e-6);
  EXPECT_NEAR(1000 * std::pow(HlgToScene(0.75), 1.2), 203.0, 0.5);
  EXPECT_NEAR(SrgbFromLinear(0.0031308), 0.040449936, 1e-6);
  EXPECT_NEAR(SrgbFromLinear(0.5), 0.735357, 1e-5);

  // BT.2390 EETF, 1,000 nits to 203: the identity below the knee, the target at the peak,
  // rising throughout, and smooth at the knee (slope 1 from both sides).
  const double source = NitsToPq(1000), target = NitsToPq(kSdrWhiteNits);
  const double knee = (1.5 * target / source - 0.5) * source;
  EXPECT_NEAR(PqToNits(knee), 88.0, 1.0);
  EXPECT_DOUBLE_EQ(Bt2390Eetf(0.4, source, target), 0.4);
  EXPECT_NEAR(Bt2390Eetf(source, source, target), target, 1e-12);
  double last = -1;
  for (double e = 0; e <= 1.0; e += 1.0 / 4096) {
    const double mapped = Bt2390Eetf(e, source, target);
    ASSERT_GE(mapped, last) << e;
    ASSERT_LE(mapped, target + 1e-12) << e;
    last = mapped;
  }
  const double h = 1e-6;
  EXPECT_NEAR((Bt2390Eetf(knee + h, source, target) - Bt2390Eetf(knee, source, target)) / h, 1.0,
              1e-3);
  // A source no brighter than the target is left alone.
  EXPECT_DOUBLE_EQ(Bt2390Eetf(0.3, 0.5, 0.6), 0.3);
}

// The tables and float arithmetic against the double-precision path: every luma code with a
// grid of chroma codes (both extremes included), within one level, mostly exact.
TEST(ToneMap, KernelMatchesTheReferenceWithinALevel) {
  struct Case {
    const char* name;
    HdrSignal signal;
  };
  HdrSignal pq10, hlg10, pq8, pq_full, pq4000, pq709;
  hlg10.transfer = Transfer::kHlg;
  pq8.bits = 8;
  pq_full.range = YuvRange::kFull;
  pq4000.peak_nits = 4000;
  pq709.primaries = Primaries::kBt709;
  pq709.matrix = YuvMatrix::kBt709;
  const Case cases[] = {{"PQ 10-bit", pq10},       {"HLG 10-bit", hlg10},
                        {"PQ 8-bit", pq8},         {"PQ full range", pq_full},
                        {"PQ 4,000 nits", pq4000}, {"PQ BT.709", pq709}};
  for (const Case& c : cases) {
    ToneMapTables tables;
    BuildToneMapTables(c.signal, tables);
    const int32_t top = (1 << c.signal.bits) - 1;
    const int32_t step = (top + 1) / 16;
    size_t total = 0, exact = 0;
    int failures = 0;
    for (int32_t y = 0; y <= top; ++y) {
      for (int32_t cb = 0; cb <= top + step; cb += step) {
        for (int32_t cr = 0; cr <= top + step; cr += step) {
          const int32_t u = std::min(cb, top), v = std::min(cr, top);
          const Bgr got = Kernel(tables, y, u, v);
          const Bgr want = Rounded(ToneMapReference(c.signal, y, u, v));
          for (int k = 0; k < 3; ++k) {
            ++total;
            exact += got[k] == want[k];
            if (std::abs(got[k] - want[k]) > 1 && ++failures <= 5) {
              ADD_FAILURE() << c.name << ": Y " << y << " Cb " << u << " Cr " << v << " channel "
                            << k << " got " << got[k] << " want " << want[k];
            }
          }
        }
      }
    }
    EXPECT_GT(static_cast<double>(exact) / total, 0.97) << c.name;
  }
}

// Saturated BT.2020 colours lie outside BT.709: they are brought in by mixing with grey of the
// same luminance, which keeps their hue, the direction from white in the xy plane. Clipping each
// channel instead turns BT.2020 green 14 degrees towards yellow.
TEST(ToneMap, KeepsTheHueOfColoursBt709CannotShow) {
  const auto to_xy = [](double r, double g, double b) {  // linear BT.709 to CIE xy
    const double x = 0.4124 * r + 0.3576 * g + 0.1805 * b;
    const double y = 0.2126 * r + 0.7152 * g + 0.0722 * b;
    const double z = 0.0193 * r + 0.1192 * g + 0.9505 * b;
    return std::array<double, 2>{x / (x + y + z), y / (x + y + z)};
  };
  const auto bt2020_xy = [](double r, double g, double b) {  // linear BT.2020 to CIE xy
    const double x = 0.6370 * r + 0.1446 * g + 0.1689 * b;
    const double y = 0.2627 * r + 0.6780 * g + 0.0593 * b;
    const double z = 0.0281 * g + 1.0610 * b;
    return std::array<double, 2>{x / (x + y + z), y / (x + y + z)};
  };
  const auto angle = [](const std::array<double, 2>& xy) {
    return std::atan2(xy[1] - 0.3290, xy[0] - 0.3127) * 180 / 3.14159265358979;
  };
  const auto linear = [](int code) {
    const double v = code / 255.0;
    return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
  };
  // BT.2020 primaries and secondaries, and a saturated orange.
  struct Colour {
    const char* name;
    double r, g, b;
  };
  const Colour colours[] = {{"red", 1, 0, 0},      {"green", 0, 1, 0},   {"blue", 0, 0, 1},
                            {"cyan", 0, 1, 1},     {"magenta", 1, 0, 1}, {"yellow", 1, 1, 0},
                            {"orange", 1, 0.35, 0}};
  ToneMapTables tables;
  BuildToneMapTables(HdrSignal{}, tables);
  for (const Colour& c : colours) {
    for (const double nits : {20.0, 100.0, 400.0}) {
      const double e = NitsToPq(nits);
      const auto codes = Encode2020(c.r * e, c.g * e, c.b * e);

      const Bgr out = Kernel(tables, codes[0], codes[1], codes[2]);
      const auto xy = to_xy(linear(out[2]), linear(out[1]), linear(out[0]));
      const double pq[3] = {c.r * e, c.g * e, c.b * e};
      const auto scene = bt2020_xy(PqToNits(pq[0]), PqToNits(pq[1]), PqToNits(pq[2]));
      double turn = angle(xy) - angle(scene);
      turn = std::remainder(turn, 360.0);
      EXPECT_LT(std::abs(turn), 2.0)
          << c.name << " at " << nits << " nits: " << xy[0] << "," << xy[1] << " output " << out[2]
          << " " << out[1] << " " << out[0];
    }
  }
}

// Below the knee the picture is the scene's: grey at L of SDR white is sRGB(L); SDR white
// itself is compressed; a brighter mastering peak compresses more, and the peak maps to white.
TEST(ToneMap, GreysBelowTheKneeKeepTheirLevelAndThePeakIsWhite) {
  HdrSignal signal;
  ToneMapTables tables;
  BuildToneMapTables(signal, tables);
  const auto grey = [](const ToneMapTables& t, double nits) {
    const int32_t y = static_cast<int32_t>(std::lround(64 + 876 * NitsToPq(nits)));
    return Kernel(t, y, 512, 512)[1];
  };
  for (const double level : {0.01, 0.05, 0.1, 0.2, 0.3, 0.4}) {
    EXPECT_NEAR(grey(tables, level * kSdrWhiteNits), 255 * SrgbFromLinear(level), 1.6) << level;
  }
  EXPECT_LT(grey(tables, kSdrWhiteNits), 240);
  EXPECT_EQ(grey(tables, 1000), 255);
  EXPECT_EQ(grey(tables, 4000), 255) << "beyond the peak: white";
  signal.peak_nits = 4000;
  ToneMapTables brighter;
  BuildToneMapTables(signal, brighter);
  EXPECT_LT(grey(brighter, 1000), 255);
  EXPECT_EQ(grey(brighter, 4000), 255);
  EXPECT_LT(grey(brighter, kSdrWhiteNits), grey(tables, kSdrWhiteNits));
  signal.peak_nits = 100;  // below SDR white: not a usable peak
  EXPECT_DOUBLE_EQ(SourcePeakNits(signal), 1000.0);
}

// Every instruction set gives the scalar kernel's bytes: every luma code beside every chroma code
// (each pair of rows holds one luma code per column, chroma running through all codes), for PQ
// and HLG at 10 and 8 bits, widths that leave a tail.
TEST(ToneMap, EveryLevelGivesTheScalarBytesForEveryCode) {
  std::vector<SimdLevel> levels;
  for (const SimdLevel level : {SimdLevel::kSse2, SimdLevel::kAvx2, SimdLevel::kAvx512}) {
    if (level <= BestSimdLevel()) levels.push_back(level);
  }
  if (levels.empty()) GTEST_SKIP() << "no SIMD level on this processor";
  for (const Transfer transfer : {Transfer::kPq, Transfer::kHlg}) {
    for (const uint32_t bits : {10u, 8u}) {
      HdrSignal signal;
      signal.transfer = transfer;
      signal.bits = bits;
      ToneMapTables tables;
      BuildToneMapTables(signal, tables);
      const uint32_t codes = 1u << bits;
      const uint32_t width = codes + 3;  // a tail after the last full step
      const uint32_t sample = bits == 10 ? 2 : 1;
      std::vector<uint8_t> luma0(width * sample), luma1(width * sample);
      std::vector<uint8_t> chroma((width + 1) * sample);  // ceil(width / 2) pairs
      const auto put = [&](std::vector<uint8_t>& row, uint32_t x, uint32_t code) {
        if (sample == 2) {
          const uint16_t word = static_cast<uint16_t>(code << 6);
          std::memcpy(row.data() + 2 * x, &word, 2);
        } else {
          row[x] = static_cast<uint8_t>(code);
        }
      };
      std::vector<uint8_t> scalar(size_t{width} * 8), simd(scalar.size());
      int mismatches = 0;
      for (uint32_t shift = 0; shift < codes && mismatches < 3; shift += bits == 10 ? 7 : 1) {
        for (uint32_t x = 0; x < width; ++x) {
          put(luma0, x, x % codes);
          put(luma1, x, (x * 5 + shift) % codes);
          put(chroma, x, (x % 2 == 0 ? x * 3 + shift : x * 7 + 2 * shift) % codes);
        }
        ToneMapRows(SimdLevel::kScalar, tables, luma0.data(), luma1.data(), chroma.data(),
                    scalar.data(), scalar.data() + width * 4, width);
        for (const SimdLevel level : levels) {
          ToneMapRows(level, tables, luma0.data(), luma1.data(), chroma.data(), simd.data(),
                      simd.data() + width * 4, width);
          if (simd != scalar && ++mismatches <= 3) {
            const auto at = std::mismatch(simd.begin(), simd.end(), scalar.begin());
            ADD_FAILURE() << "transfer " << static_cast<int>(transfer) << " bits " << bits
                          << " level " << static_cast<int>(level) << " shift " << shift << ": byte "
                          << (at.first - simd.begin());
          }
        }
      }
    }
  }
}

// Runs the bands one after another, last first, on the caller's thread, and counts them: a band
// that reads or writes another's rows gives other bytes than the whole frame in one pass.
class BackwardBands final : public BandRunner {
 public:
  explicit BackwardBands(uint32_t width) : width_(width) {}
  uint32_t Width() const override { return width_; }
  void Run(uint32_t count, void (*work)(void*, uint32_t), void* context) const override {
    runs_.assign(count, 0);
    for (uint32_t band = count; band-- > 0;) {
      ++runs_[band];
      work(context, band);
    }
  }
  mutable std::vector<int> runs_;

 private:
  uint32_t width_;
};

TEST(ToneMap, BandsOfRowsGiveTheWholeFramesBytes) {
  // Only a tone-mapped frame large enough to repay a thread per band is split.
  EXPECT_EQ(ConversionBands(Transfer::kSdr, 8, 3840, 2160), 1u);
  EXPECT_EQ(ConversionBands(Transfer::kPq, 1, 3840, 2160), 1u);
  EXPECT_EQ(ConversionBands(Transfer::kPq, 2, 3840, 2160), 2u);
  EXPECT_EQ(ConversionBands(Transfer::kHlg, 64, 3840, 2160), 8u);
  EXPECT_EQ(ConversionBands(Transfer::kPq, 8, 1920, 1080), 7u);
  EXPECT_EQ(ConversionBands(Transfer::kPq, 8, 640, 360), 1u);
  EXPECT_EQ(ConversionBands(Transfer::kPq, 8, 40000, 20), 1u) << "one tile of rows";

  // Odd sides (the last band ends on a lone row, every band's first chroma row is its own),
  // every turn, and rows widened; P010 PQ and NV12 HLG.
  constexpr uint32_t kWidth = 1031, kHeight = 771;
  std::mt19937 random(11);
  for (const uint32_t sample : {2u, 1u}) {
    const uint32_t pitch = kWidth * sample + 6;
    std::vector<uint8_t> bytes(size_t{pitch} * (kHeight + 1) * 3 / 2);
    // Smooth luma with noise, so that neighbouring bands differ.
    for (size_t i = 0; i < bytes.size(); ++i) {
      const uint32_t code = (i / pitch * 3 + random() % 64) % (sample == 2 ? 1024 : 256);
      if (sample == 2) {
        if (i % 2 == 0) PutP010Word(bytes.data() + i, code);
      } else {
        bytes[i] = static_cast<uint8_t>(code);
      }
    }
    const Nv12Planes planes =
        PlainNv12Planes(bytes.data(), static_cast<int32_t>(pitch),
                        static_cast<uint32_t>(bytes.size()), kWidth, kHeight, sample);
    for (const Rotation rotation : {Rotation::k0, Rotation::k90, Rotation::k180, Rotation::k270}) {
      for (const uint32_t num : {1u, 3u}) {
        PictureOptions options;
        options.transfer = sample == 2 ? Transfer::kPq : Transfer::kHlg;
        options.primaries = Primaries::kBt2020;
        options.matrix = YuvMatrix::kBt2020;
        options.rotation = rotation;
        options.aspect_num = num;
        options.aspect_den = 2;
        const std::optional<PictureDimensions> size = PictureSize(kWidth, kHeight, options);
        ASSERT_TRUE(size);
        const size_t out_bytes = size_t{size->width} * size->height * 4;
        std::vector<uint8_t> whole(out_bytes), backward(out_bytes), threads(out_bytes);
        ASSERT_TRUE(ConvertNv12ToBgra(planes, bytes.data(), bytes.size(), options, whole.data()));
        const BackwardBands runner(3);
        ASSERT_TRUE(ConvertNv12ToBgra(planes, bytes.data(), bytes.size(), options, backward.data(),
                                      &runner));
        EXPECT_EQ(runner.runs_, std::vector<int>(3, 1)) << "every band once";
        const StdThreadBands threaded(2);
        ASSERT_TRUE(ConvertNv12ToBgra(planes, bytes.data(), bytes.size(), options, threads.data(),
                                      &threaded));
        const auto where = [&](const std::vector<uint8_t>& banded) {
          return std::mismatch(banded.begin(), banded.end(), whole.begin()).first - banded.begin();
        };
        EXPECT_TRUE(backward == whole)
            << "turned " << static_cast<int>(rotation) << " at " << num << ":2, bytes " << sample
            << ", first at " << where(backward);
        EXPECT_TRUE(threads == whole) << "turned " << static_cast<int>(rotation) << " at " << num
                                      << ":2, bytes " << sample << ", first at " << where(threads);
      }
    }
  }
}

}  // namespace
}  // namespace stillreel
