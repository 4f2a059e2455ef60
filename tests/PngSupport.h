// libpng as an independent PNG encoder and decoder for the PNG tests.
#pragma once

#include <png.h>

#include <csetjmp>

#include "TestSupport.h"

inline int PngChannels(int colourType) { return colourType == 2 ? 3 : colourType == 4 ? 2 : colourType == 6 ? 4 : 1; }

struct PngLayout {
  int width, height, colourType, depth;
  bool interlaced = false;
  std::vector<png_color> palette = {};
  std::vector<png_byte> paletteAlpha = {};  // tRNS of a palette image
  std::vector<int> trns = {};               // tRNS of a grey (one value) or colour image (three)
  size_t idatBytes = 64;                    // small: rows cross IDAT chunk ends
  int filters = PNG_ALL_FILTERS;            // the row filters libpng may choose among
};

// A PNG file of `samples` (top row first, each texel's samples in file order at the file's
// depth; palette indices for palette images) written by libpng; empty if libpng failed.
inline Bytes EncodePng(const PngLayout& s, const std::vector<int>& samples) {
  const size_t rowSamples = size_t(s.width) * PngChannels(s.colourType), rowBytes = (rowSamples * s.depth + 7) / 8;
  Bytes image(rowBytes * size_t(s.height), 0);
  std::vector<png_bytep> rows;
  for (int y = 0; y < s.height; ++y) rows.push_back(&image[size_t(y) * rowBytes]);
  for (size_t i = 0; i < samples.size(); ++i) {
    const size_t bit = i % rowSamples * size_t(s.depth);
    png_bytep at = rows[i / rowSamples] + bit / 8;
    if (s.depth == 16) at[0] = png_byte(samples[i] >> 8), at[1] = png_byte(samples[i]);
    else at[0] |= png_byte(samples[i] << (8 - s.depth - int(bit % 8)));
  }
  bool ok = false;
  const Bytes file = Written([&](FILE* fp) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) return png_destroy_write_struct(&png, &info);
    png_init_io(png, fp);
    png_set_compression_buffer_size(png, s.idatBytes);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, s.filters);
    png_set_IHDR(png, info, png_uint_32(s.width), png_uint_32(s.height), s.depth, s.colourType,
                 s.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    if (!s.palette.empty()) png_set_PLTE(png, info, s.palette.data(), int(s.palette.size()));
    if (!s.paletteAlpha.empty()) png_set_tRNS(png, info, s.paletteAlpha.data(), int(s.paletteAlpha.size()), nullptr);
    if (!s.trns.empty()) {
      png_color_16 c = {0, png_uint_16(s.trns[0]), png_uint_16(s.trns[s.trns.size() / 2]), png_uint_16(s.trns.back()),
                        png_uint_16(s.trns[0])};
      png_set_tRNS(png, info, nullptr, 0, &c);
    }
    png_set_rows(png, info, rows.data());
    png_write_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
    png_destroy_write_struct(&png, &info);
    ok = true;
  });
  return ok ? file : Bytes();
}

struct LibpngImage {
  bool ok = false;
  int width = 0, height = 0, depth = 0, colourType = 0, channels = 0;
  Bytes rows;  // top row first
};

// Decodes a PNG file with libpng and the PNG_TRANSFORM_ flags `transforms`.
inline LibpngImage DecodePngWithLibpng(Bytes file, int transforms = PNG_TRANSFORM_IDENTITY) {
  LibpngImage r;
  FILE* fp = fmemopen(file.data(), file.size(), "rb");
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (!setjmp(png_jmpbuf(png))) {
    png_init_io(png, fp);
    png_read_png(png, info, transforms, nullptr);
    r = {true, int(png_get_image_width(png, info)), int(png_get_image_height(png, info)),
         png_get_bit_depth(png, info), png_get_color_type(png, info), png_get_channels(png, info), {}};
    for (int y = 0; y < r.height; ++y)
      r.rows.insert(r.rows.end(), png_get_rows(png, info)[y], png_get_rows(png, info)[y] + png_get_rowbytes(png, info));
  }
  png_destroy_read_struct(&png, &info, nullptr);
  std::fclose(fp);
  return r;
}
