// mkicon OUTPUT.ico: draws the program icon, a serial plug with an update
// arrow, 32 x 32 pixels in the 16 standard colours, and writes it as an icon
// file (one image: 4-bit colour bitmap plus 1-bit transparency mask).
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <vector>

namespace {

constexpr int kSize = 32;
constexpr int kTransparent = -1;

// The 16 standard colours, as R, G, B.
constexpr std::uint8_t kPalette[16][3] = {
    {0, 0, 0},     {128, 0, 0},   {0, 128, 0},   {128, 128, 0},   {0, 0, 128},   {128, 0, 128},
    {0, 128, 128}, {192, 192, 192}, {128, 128, 128}, {255, 0, 0}, {0, 255, 0},   {255, 255, 0},
    {0, 0, 255},   {255, 0, 255}, {0, 255, 255}, {255, 255, 255}};
enum : int { kBlack = 0, kGreen = 2, kNavy = 4, kSilver = 7, kGray = 8, kLime = 10, kYellow = 11 };

using Image = std::vector<std::vector<int>>;  // [y][x], y = 0 at the top

void Fill(Image& img, int x0, int y0, int x1, int y1, int colour) {
  for (int y = y0; y <= y1; ++y)
    for (int x = x0; x <= x1; ++x) img[y][x] = colour;
}

Image Draw() {
  Image img(kSize, std::vector<int>(kSize, kTransparent));
  // Connector shell: a trapezoid, black rim, silver metal, navy face.
  for (int y = 2; y <= 15; ++y) {
    int inset = (y - 2) / 4;
    int left = 1 + inset, right = 30 - inset;
    for (int x = left; x <= right; ++x) {
      bool rim = y == 2 || y == 15 || x == left || x == right;
      img[y][x] = rim ? kBlack : kSilver;
    }
  }
  for (int y = 4; y <= 13; ++y) {
    int inset = (y - 2) / 4 + 2;
    Fill(img, 1 + inset, y, 30 - inset, y, kNavy);
  }
  // Pins: five above, four below.
  for (int i = 0; i < 5; ++i) Fill(img, 6 + 4 * i, 6, 7 + 4 * i, 7, kYellow);
  for (int i = 0; i < 4; ++i) Fill(img, 8 + 4 * i, 10, 9 + 4 * i, 11, kYellow);
  // Hood and cable.
  Fill(img, 10, 16, 19, 19, kBlack);
  Fill(img, 11, 16, 18, 18, kGray);
  Fill(img, 13, 20, 16, 31, kBlack);
  // Update arrow, pointing up: green rim, lime inside.
  for (int y = 18; y <= 23; ++y) {
    int half = y - 18;
    Fill(img, 26 - half, y, 26 + half, y, kGreen);
    if (half >= 2 && y < 23) Fill(img, 27 - half, y, 25 + half, y, kLime);
  }
  Fill(img, 23, 24, 29, 31, kGreen);
  Fill(img, 24, 23, 28, 30, kLime);
  return img;
}

void Put16(std::vector<std::uint8_t>& out, unsigned v) {
  out.push_back(static_cast<std::uint8_t>(v & 0xFF));
  out.push_back(static_cast<std::uint8_t>((v >> 8) & 0xFF));
}

void Put32(std::vector<std::uint8_t>& out, unsigned v) {
  Put16(out, v & 0xFFFF);
  Put16(out, (v >> 16) & 0xFFFF);
}

std::vector<std::uint8_t> Encode(const Image& img) {
  constexpr unsigned kXorRow = kSize / 2;  // 4 bits a pixel, already 4-byte aligned
  constexpr unsigned kAndRow = kSize / 8;  // 1 bit a pixel, 4-byte aligned
  constexpr unsigned kHeader = 40, kColours = 16 * 4;
  constexpr unsigned kBits = kXorRow * kSize + kAndRow * kSize;
  std::vector<std::uint8_t> out;
  // Icon directory with one entry.
  Put16(out, 0);
  Put16(out, 1);
  Put16(out, 1);
  out.push_back(kSize);
  out.push_back(kSize);
  out.push_back(16);  // colours
  out.push_back(0);
  Put16(out, 1);      // planes
  Put16(out, 4);      // bits per pixel
  Put32(out, kHeader + kColours + kBits);
  Put32(out, 6 + 16);
  // Bitmap header: the height counts colour bitmap and mask together.
  Put32(out, kHeader);
  Put32(out, kSize);
  Put32(out, 2 * kSize);
  Put16(out, 1);
  Put16(out, 4);
  Put32(out, 0);  // uncompressed
  Put32(out, kBits);
  Put32(out, 0);
  Put32(out, 0);
  Put32(out, 16);
  Put32(out, 0);
  for (const auto& c : kPalette) {
    out.push_back(c[2]);
    out.push_back(c[1]);
    out.push_back(c[0]);
    out.push_back(0);
  }
  // Rows bottom-up; transparent pixels are black in the colour bitmap.
  for (int y = kSize - 1; y >= 0; --y) {
    for (int x = 0; x < kSize; x += 2) {
      int hi = img[y][x] < 0 ? 0 : img[y][x];
      int lo = img[y][x + 1] < 0 ? 0 : img[y][x + 1];
      out.push_back(static_cast<std::uint8_t>((hi << 4) | lo));
    }
  }
  for (int y = kSize - 1; y >= 0; --y) {
    for (int x = 0; x < kSize; x += 8) {
      unsigned bits = 0;
      for (int i = 0; i < 8; ++i) {
        if (img[y][x + i] < 0) bits |= 0x80u >> i;
      }
      out.push_back(static_cast<std::uint8_t>(bits));
    }
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: mkicon OUTPUT.ico\n");
    return 2;
  }
  std::vector<std::uint8_t> bytes = Encode(Draw());
  std::ofstream file(argv[1], std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!file) {
    std::fprintf(stderr, "mkicon: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
