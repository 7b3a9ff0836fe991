// HDR to SDR: the reference curves, the tables and the scalar kernel; see tone_map.h.
#include "picture/tone_map.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

namespace stillreel {
namespace {

// SMPTE ST 2084 constants.
constexpr double kPqM1 = 2610.0 / 16384.0;
constexpr double kPqM2 = 2523.0 / 4096.0 * 128.0;
constexpr double kPqC1 = 3424.0 / 4096.0;
constexpr double kPqC2 = 2413.0 / 4096.0 * 32.0;
constexpr double kPqC3 = 2392.0 / 4096.0 * 32.0;
// BT.2100 HLG constants; the OOTF's system gamma for a 1,000-nit display.
constexpr double kHlgA = 0.17883277;
constexpr double kHlgB = 0.28466892;  // 1 - 4a
constexpr double kHlgC = 0.55991073;  // 0.5 - a ln(4a)
constexpr double kHlgGamma = 1.2;

struct Weights {
  double red, blue;  // Kr, Kb; Kg = 1 - Kr - Kb
};

Weights LumaWeights(YuvMatrix matrix) {
  switch (matrix) {
    case YuvMatrix::kBt709:
      return {0.2126, 0.0722};
    case YuvMatrix::kBt2020:
      return {0.2627, 0.0593};
    case YuvMatrix::kBt601:
      break;
  }
  return {0.299, 0.114};
}

Weights PrimaryWeights(Primaries primaries) {
  return primaries == Primaries::kBt2020 ? Weights{0.2627, 0.0593} : Weights{0.2126, 0.0722};
}

// Y'CbCr code to value: (code - offset) * scale; chroma centred.
struct Levels {
  double y_offset, y_scale, c_centre, c_scale;
};

Levels LevelsOf(YuvRange range, uint32_t bits) {
  const double unit = static_cast<double>(1u << (bits - 8));  // one 8-bit step in codes
  if (range == YuvRange::kFull) {
    const double top = static_cast<double>((1u << bits) - 1);
    return {0.0, 1.0 / top, 128.0 * unit, 1.0 / top};
  }
  return {16.0 * unit, 1.0 / (219.0 * unit), 128.0 * unit, 1.0 / (224.0 * unit)};
}

// Linear BT.2020 to linear BT.709, both with the D65 white point, from the
// chromaticities: M = RGB709->XYZ ^ -1 x RGB2020->XYZ.
void RgbToXyz(const double (&xy)[4][2], double (&m)[3][3]) {
  double p[3][3];
  for (int c = 0; c < 3; ++c) {
    const double x = xy[c][0], y = xy[c][1];
    p[0][c] = x / y;
    p[1][c] = 1.0;
    p[2][c] = (1.0 - x - y) / y;
  }
  const double w[3] = {xy[3][0] / xy[3][1], 1.0, (1.0 - xy[3][0] - xy[3][1]) / xy[3][1]};
  // Scale each primary so that R = G = B = 1 is the white point: solve p s = w.
  const double det = p[0][0] * (p[1][1] * p[2][2] - p[1][2] * p[2][1]) -
                     p[0][1] * (p[1][0] * p[2][2] - p[1][2] * p[2][0]) +
                     p[0][2] * (p[1][0] * p[2][1] - p[1][1] * p[2][0]);
  double inverse[3][3];
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      const int r1 = (c + 1) % 3, r2 = (c + 2) % 3, c1 = (r + 1) % 3, c2 = (r + 2) % 3;
      inverse[r][c] = (p[r1][c1] * p[r2][c2] - p[r1][c2] * p[r2][c1]) / det;
    }
  }
  for (int c = 0; c < 3; ++c) {
    const double s = inverse[c][0] * w[0] + inverse[c][1] * w[1] + inverse[c][2] * w[2];
    for (int r = 0; r < 3; ++r) m[r][c] = p[r][c] * s;
  }
}

void Invert(const double (&a)[3][3], double (&out)[3][3]) {
  const double det = a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
                     a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
                     a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      const int r1 = (c + 1) % 3, r2 = (c + 2) % 3, c1 = (r + 1) % 3, c2 = (r + 2) % 3;
      out[r][c] = (a[r1][c1] * a[r2][c2] - a[r1][c2] * a[r2][c1]) / det;
    }
  }
}

void Bt2020To709(double (&m)[3][3]) {
  const double bt2020[4][2] = {{0.708, 0.292}, {0.170, 0.797}, {0.131, 0.046}, {0.3127, 0.3290}};
  const double bt709[4][2] = {{0.640, 0.330}, {0.300, 0.600}, {0.150, 0.060}, {0.3127, 0.3290}};
  double from[3][3], to[3][3], to_inverse[3][3];
  RgbToXyz(bt2020, from);
  RgbToXyz(bt709, to);
  Invert(to, to_inverse);
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      m[r][c] = 0;
      for (int k = 0; k < 3; ++k) m[r][c] += to_inverse[r][k] * from[k][c];
    }
  }
}

// M (linear, SDR white 1) to EETF(M) in the same units: the curve works on
// PQ codes from the source peak to SDR white; beyond the peak it stays at
// SDR white.
double MapBrightest(double m, double peak_nits) {
  const double nits = std::min(m * kSdrWhiteNits, peak_nits);
  if (peak_nits <= kSdrWhiteNits) return nits / kSdrWhiteNits;
  const double mapped = Bt2390Eetf(NitsToPq(nits), NitsToPq(peak_nits), NitsToPq(kSdrWhiteNits));
  return PqToNits(mapped) / kSdrWhiteNits;
}

double Clamp01(double v) { return std::clamp(v, 0.0, 1.0); }

}  // namespace

double PqToNits(double code) {
  const double p = std::pow(Clamp01(code), 1.0 / kPqM2);
  return 10000.0 * std::pow(std::max(p - kPqC1, 0.0) / (kPqC2 - kPqC3 * p), 1.0 / kPqM1);
}

double NitsToPq(double nits) {
  const double y = std::pow(std::clamp(nits / 10000.0, 0.0, 1.0), kPqM1);
  return std::pow((kPqC1 + kPqC2 * y) / (1.0 + kPqC3 * y), kPqM2);
}

double HlgToScene(double code) {
  const double e = Clamp01(code);
  return e <= 0.5 ? e * e / 3.0 : (std::exp((e - kHlgC) / kHlgA) + kHlgB) / 12.0;
}

double SrgbFromLinear(double l) {
  l = Clamp01(l);
  return l <= 0.0031308 ? 12.92 * l : 1.055 * std::pow(l, 1.0 / 2.4) - 0.055;
}

double Bt2390Eetf(double code, double source_max, double target_max) {
  if (source_max <= 0 || target_max >= source_max) return std::min(code, source_max);
  const double e1 = std::clamp(code / source_max, 0.0, 1.0);
  const double max_lum = target_max / source_max;
  const double knee = 1.5 * max_lum - 0.5;
  if (e1 < knee) return e1 * source_max;
  // Hermite spline from (knee, knee) with slope 1 to (1, max_lum) with slope 0.
  const double t = (e1 - knee) / (1.0 - knee);
  const double t2 = t * t, t3 = t2 * t;
  const double e2 = (2 * t3 - 3 * t2 + 1) * knee + (t3 - 2 * t2 + t) * (1.0 - knee) +
                    (-2 * t3 + 3 * t2) * max_lum;
  return e2 * source_max;
}

double SourcePeakNits(const HdrSignal& signal) {
  if (signal.transfer == Transfer::kHlg) return kDefaultPeakNits;
  const double peak = signal.peak_nits;
  return peak >= kSdrWhiteNits ? std::min(peak, 10000.0) : kDefaultPeakNits;
}

RgbColour ToneMapReference(const HdrSignal& signal, int32_t y, int32_t cb, int32_t cr) {
  const Levels levels = LevelsOf(signal.range, signal.bits);
  const Weights k = LumaWeights(signal.matrix);
  const double kg = 1.0 - k.red - k.blue;
  const double luma = (y - levels.y_offset) * levels.y_scale;
  const double pb = (cb - levels.c_centre) * levels.c_scale;
  const double pr = (cr - levels.c_centre) * levels.c_scale;
  double rgb[3] = {luma + 2 * (1 - k.red) * pr,
                   luma - 2 * (1 - k.blue) * k.blue / kg * pb - 2 * (1 - k.red) * k.red / kg * pr,
                   luma + 2 * (1 - k.blue) * pb};
  const double peak = SourcePeakNits(signal);
  for (double& c : rgb) {
    c = signal.transfer == Transfer::kHlg ? HlgToScene(c) : PqToNits(c) / kSdrWhiteNits;
  }
  if (signal.transfer == Transfer::kHlg) {
    const Weights w = PrimaryWeights(signal.primaries);
    const double scene = w.red * rgb[0] + (1 - w.red - w.blue) * rgb[1] + w.blue * rgb[2];
    const double gain = peak / kSdrWhiteNits * std::pow(scene, kHlgGamma - 1.0);
    for (double& c : rgb) c *= gain;
  }
  if (signal.primaries == Primaries::kBt2020) {
    double m[3][3];
    Bt2020To709(m);
    const double in[3] = {rgb[0], rgb[1], rgb[2]};
    for (int r = 0; r < 3; ++r) rgb[r] = m[r][0] * in[0] + m[r][1] * in[1] + m[r][2] * in[2];
  }
  const double brightest = std::max({rgb[0], rgb[1], rgb[2]});
  if (brightest > 0) {
    const double scale = MapBrightest(brightest, peak) / brightest;
    for (double& c : rgb) c *= scale;
  }
  const double lum = 0.2126 * rgb[0] + 0.7152 * rgb[1] + 0.0722 * rgb[2];
  const double least = std::min({rgb[0], rgb[1], rgb[2]});
  if (least < 0) {
    const double s = lum > 0 ? lum / (lum - least) : 0.0;
    for (double& c : rgb) c = lum > 0 ? lum + s * (c - lum) : 0.0;
  }
  return {SrgbFromLinear(rgb[0]), SrgbFromLinear(rgb[1]), SrgbFromLinear(rgb[2])};
}

void BuildToneMapTables(const HdrSignal& signal, ToneMapTables& t) {
  const Levels levels = LevelsOf(signal.range, signal.bits);
  const Weights k = LumaWeights(signal.matrix);
  const double kg = 1.0 - k.red - k.blue;
  t.bits = signal.bits;
  t.y_offset = static_cast<float>(levels.y_offset);
  t.y_scale = static_cast<float>(levels.y_scale);
  t.c_centre = static_cast<float>(levels.c_centre);
  t.c_scale = static_cast<float>(levels.c_scale);
  t.cr_red = static_cast<float>(2 * (1 - k.red));
  t.cb_green = static_cast<float>(2 * (1 - k.blue) * k.blue / kg);
  t.cr_green = static_cast<float>(2 * (1 - k.red) * k.red / kg);
  t.cb_blue = static_cast<float>(2 * (1 - k.blue));

  const double peak = SourcePeakNits(signal);
  t.hlg = signal.transfer == Transfer::kHlg;
  const Weights w = PrimaryWeights(signal.primaries);
  t.luma_red = static_cast<float>(w.red);
  t.luma_green = static_cast<float>(1 - w.red - w.blue);
  t.luma_blue = static_cast<float>(w.blue);
  for (int i = 0; i <= ToneMapTables::kLinearSize; ++i) {
    const double code = std::min(1.0, i / double{ToneMapTables::kLinearSize - 1});
    t.to_linear[i] = static_cast<float>(t.hlg ? HlgToScene(code) : PqToNits(code) / kSdrWhiteNits);
  }
  // Indexed by the fourth root of the scene luminance, where the gain
  // Y^0.2 = (Y^0.25)^0.8 is nearly straight and interpolates well.
  for (int i = 0; i <= ToneMapTables::kGainSize; ++i) {
    const double root = std::min(1.0, i / double{ToneMapTables::kGainSize - 1});
    t.hlg_gain[i] =
        static_cast<float>(peak / kSdrWhiteNits * std::pow(root, 4.0 * (kHlgGamma - 1.0)));
  }

  t.convert_primaries = signal.primaries == Primaries::kBt2020;
  double m[3][3];
  Bt2020To709(m);
  for (int i = 0; i < 9; ++i) t.primaries[i] = static_cast<float>(m[i / 3][i % 3]);

  // Up to twice the peak: BT.2020 colours converted to BT.709 can exceed it.
  const double top = 2.0 * peak / kSdrWhiteNits;
  t.ratio_scale = static_cast<float>((ToneMapTables::kRatioSize - 1) / top);
  t.ratio[0] = 1.0f;
  for (int i = 1; i < ToneMapTables::kRatioSize; ++i) {
    const double brightest = i / double{t.ratio_scale};
    t.ratio[i] = static_cast<float>(MapBrightest(brightest, peak) / brightest);
  }
  for (int i = 0; i < ToneMapTables::kEncodeSize; ++i) {
    const double root = i / double{ToneMapTables::kEncodeSize - 1};
    t.encode[i] = static_cast<uint8_t>(std::lround(255.0 * SrgbFromLinear(root * root)));
  }
}

namespace {

// Index of v in a table of `size` entries over [0, 1]: the nearest, v clamped.
inline int Nearest(float v, int size) {
  v = std::min(std::max(v, 0.0f), 1.0f);
  return static_cast<int>(v * static_cast<float>(size - 1) + 0.5f);
}

// One pixel from its normalised luma and chroma; the order of the float
// operations is the SIMD kernels' too, so that they give the same bytes.
// Linear light of a non-linear value v, interpolated between the two
// nearest entries: the conversion to BT.709 subtracts components of similar
// size, where a nearest entry's error would show in dark saturated colours.
inline float Interpolate(const float* table, int size, float v) {
  v = std::min(std::max(v, 0.0f), 1.0f) * static_cast<float>(size - 1);
  const int i = static_cast<int>(v);
  const float fraction = v - static_cast<float>(i);
  return table[i] + fraction * (table[i + 1] - table[i]);
}

inline float ToLinear(const ToneMapTables& t, float v) {
  return Interpolate(t.to_linear, ToneMapTables::kLinearSize, v);
}

inline void Pixel(const ToneMapTables& t, float luma, float red_c, float green_c, float blue_c,
                  uint8_t* out) {
  float r = ToLinear(t, luma + red_c);
  float g = ToLinear(t, luma - green_c);
  float b = ToLinear(t, luma + blue_c);
  if (t.hlg) {
    const float scene = t.luma_red * r + t.luma_green * g + t.luma_blue * b;
    const float gain = Interpolate(t.hlg_gain, ToneMapTables::kGainSize,
                                   std::sqrt(std::sqrt(std::max(scene, 0.0f))));
    r *= gain;
    g *= gain;
    b *= gain;
  }
  if (t.convert_primaries) {
    const float* m = t.primaries;
    const float r2 = m[0] * r + m[1] * g + m[2] * b;
    const float g2 = m[3] * r + m[4] * g + m[5] * b;
    const float b2 = m[6] * r + m[7] * g + m[8] * b;
    r = r2;
    g = g2;
    b = b2;
  }
  const float brightest = std::max(std::max(r, g), b);
  const int index = std::min(static_cast<int>(std::max(brightest, 0.0f) * t.ratio_scale + 0.5f),
                             ToneMapTables::kRatioSize - 1);
  // Beyond the table the curve is SDR white, 1 / M; within it, EETF(M) / M
  // is at most that, so the smaller of the two serves everywhere.
  const float scale = std::min(t.ratio[index], 1.0f / std::max(brightest, 1e-6f));
  r *= scale;
  g *= scale;
  b *= scale;
  const float least = std::min(std::min(r, g), b);
  if (least < 0.0f) {
    const float lum = 0.2126f * r + 0.7152f * g + 0.0722f * b;
    const float s = lum > 0.0f ? lum / (lum - least) : 0.0f;
    const float base = std::max(lum, 0.0f);
    r = base + s * (r - base);
    g = base + s * (g - base);
    b = base + s * (b - base);
  }
  out[0] = t.encode[Nearest(std::sqrt(std::max(b, 0.0f)), ToneMapTables::kEncodeSize)];
  out[1] = t.encode[Nearest(std::sqrt(std::max(g, 0.0f)), ToneMapTables::kEncodeSize)];
  out[2] = t.encode[Nearest(std::sqrt(std::max(r, 0.0f)), ToneMapTables::kEncodeSize)];
  out[3] = 255;
}

template <typename Sample>
int32_t Code(const uint8_t* row, uint32_t index) {
  Sample value;
  std::memcpy(&value, row + index * sizeof(Sample), sizeof value);
  return sizeof(Sample) == 2 ? value >> 6 : value;
}

template <typename Sample>
void Rows(const ToneMapTables& t, const uint8_t* y0, const uint8_t* y1, const uint8_t* uv,
          uint8_t* d0, uint8_t* d1, uint32_t x, uint32_t width) {
  for (; x < width; ++x) {
    const float cb = (static_cast<float>(Code<Sample>(uv, x / 2 * 2)) - t.c_centre) * t.c_scale;
    const float cr = (static_cast<float>(Code<Sample>(uv, x / 2 * 2 + 1)) - t.c_centre) * t.c_scale;
    const float red_c = t.cr_red * cr;
    const float green_c = t.cb_green * cb + t.cr_green * cr;
    const float blue_c = t.cb_blue * cb;
    for (int row = 0; row < 2; ++row) {
      const int32_t code = Code<Sample>(row == 0 ? y0 : y1, x);
      const float luma = (static_cast<float>(code) - t.y_offset) * t.y_scale;
      Pixel(t, luma, red_c, green_c, blue_c, (row == 0 ? d0 : d1) + 4 * size_t{x});
    }
  }
}

}  // namespace

void ToneMapRowsScalar(const ToneMapTables& tables, const uint8_t* y0, const uint8_t* y1,
                       const uint8_t* uv, uint8_t* d0, uint8_t* d1, uint32_t width) {
  ToneMapRowsScalarFrom(tables, y0, y1, uv, d0, d1, 0, width);
}

void ToneMapRowsScalarFrom(const ToneMapTables& tables, const uint8_t* y0, const uint8_t* y1,
                           const uint8_t* uv, uint8_t* d0, uint8_t* d1, uint32_t x,
                           uint32_t width) {
  if (tables.bits == 10) {
    Rows<uint16_t>(tables, y0, y1, uv, d0, d1, x, width);
  } else {
    Rows<uint8_t>(tables, y0, y1, uv, d0, d1, x, width);
  }
}

}  // namespace stillreel
