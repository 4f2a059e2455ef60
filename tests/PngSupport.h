// libpng as an independent PNG encoder and decoder for the PNG tests.
#pragma once

#include <png.h>

#include <csetjmp>
#include <cstdint>
#include <vector>

#include "TestSupport.h"

struct PngSpec {
  int width, height, colourType, depth;
  bool interlaced = false;
  std::vector<png_color> palette = {};
  std::vector<png_byte> paletteAlpha = {};  // tRNS of a palette image
  int trnsGrey = -1;                        // tRNS of a grey image
  int trnsRed = -1, trnsGreen = -1, trnsBlue = -1;
};

// A PNG file of `samples` (top row first, each texel's samples in file order, at the file's
// depth; palette indices for palette images) written by libpng; empty if libpng failed.
inline Bytes EncodePng(const PngSpec& s, const std::vector<int>& samples) {
  const int channels = s.colourType == 0 || s.colourType == 3 ? 1 : s.colourType == 4 ? 2 : s.colourType == 2 ? 3 : 4;
  const size_t rowBytes = (size_t(s.width) * channels * s.depth + 7) / 8;
  std::vector<Bytes> rows(size_t(s.height), Bytes(rowBytes, 0));
  for (int y = 0; y < s.height; ++y)
    for (int i = 0; i < s.width * channels; ++i) {
      const int v = samples[size_t(y * s.width * channels + i)];
      Bytes& row = rows[size_t(y)];
      if (s.depth == 16) {
        row[size_t(2 * i)] = png_byte(v >> 8);
        row[size_t(2 * i + 1)] = png_byte(v);
      } else {
        const int bit = i * s.depth;
        row[size_t(bit / 8)] |= png_byte(v << (8 - s.depth - bit % 8));
      }
    }
  std::vector<png_bytep> pointers;
  for (Bytes& row : rows) pointers.push_back(row.data());
  Bytes out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return {};
  }
  png_set_write_fn(png, &out, [](png_structp p, png_bytep data, png_size_t n) {
    Bytes* o = static_cast<Bytes*>(png_get_io_ptr(p));
    o->insert(o->end(), data, data + n);
  }, nullptr);
  png_set_IHDR(png, info, png_uint_32(s.width), png_uint_32(s.height), s.depth, s.colourType,
               s.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  if (!s.palette.empty()) png_set_PLTE(png, info, s.palette.data(), int(s.palette.size()));
  png_color_16 colour = {0, png_uint_16(s.trnsRed), png_uint_16(s.trnsGreen), png_uint_16(s.trnsBlue),
                         png_uint_16(s.trnsGrey)};
  if (!s.paletteAlpha.empty())
    png_set_tRNS(png, info, s.paletteAlpha.data(), int(s.paletteAlpha.size()), nullptr);
  else if (s.trnsGrey >= 0 || s.trnsRed >= 0)
    png_set_tRNS(png, info, nullptr, 0, &colour);
  png_write_info(png, info);
  if (s.interlaced) png_set_interlace_handling(png);
  png_write_image(png, pointers.data());
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return out;
}

struct LibpngImage {
  bool ok = false;
  int width = 0, height = 0, depth = 0, colourType = 0;
  Bytes pixels;  // rows top first, as stored (16-bit samples big-endian)
};

// Decodes a PNG file with libpng, without transformations.
inline LibpngImage DecodePngWithLibpng(const Bytes& file) {
  LibpngImage r;
  struct Reader {
    const Bytes* file;
    size_t pos;
  } reader{&file, 0};
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    r.ok = false;
    return r;
  }
  png_set_read_fn(png, &reader, [](png_structp p, png_bytep data, png_size_t n) {
    Reader* rd = static_cast<Reader*>(png_get_io_ptr(p));
    if (n > rd->file->size() - rd->pos) png_error(p, "short file");
    std::copy(rd->file->begin() + long(rd->pos), rd->file->begin() + long(rd->pos + n), data);
    rd->pos += n;
  });
  png_read_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
  r.width = int(png_get_image_width(png, info));
  r.height = int(png_get_image_height(png, info));
  r.depth = png_get_bit_depth(png, info);
  r.colourType = png_get_color_type(png, info);
  const size_t rowBytes = png_get_rowbytes(png, info);
  png_bytepp rows = png_get_rows(png, info);
  for (int y = 0; y < r.height; ++y) r.pixels.insert(r.pixels.end(), rows[y], rows[y] + rowBytes);
  png_destroy_read_struct(&png, &info, nullptr);
  r.ok = true;
  return r;
}
