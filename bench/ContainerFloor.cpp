// What a merge job's reading and writing cost through each container's library alone: the floor
// under bumpweld's whole path for that container (bench/codec_table.py compares the two).
//
//   container_floor make CONTAINER BITS in.tga out.FILE
//       writes the Targa picture in.tga in the container (at 16 bits a sample each byte times
//       257), as its library writes it: an input for the jobs below
//   container_floor job CONTAINER base.FILE detail.FILE merged.FILE out.FILE
//       reads both inputs at the same time on two threads, then writes the picture of
//       merged.FILE (bumpweld's output of the same job, read beforehand untimed: the same
//       texels to compress) to out.FILE; prints the processor time (user + system) and wall
//       time in seconds of the reading and of the writing: "read CPU WALL write CPU WALL"
//
// CONTAINER is tga (bumpweld's own Targa code), png (libspng: Paeth rows, zlib level 1 with
// the run-length strategy, as bumpweld writes them), tiff (libtiff: Deflate level 7 with the
// horizontal predictor, strips of 32 rows), exr (OpenEXR: half R, G, B, ZIP) or dds
// (bumpweld's own DDS code, the uncompressed rgba8 layout). A picture is held as it is read;
// nothing is converted between reading and writing except into the writer's sample layout,
// which is done before the clock starts.
#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfInputFile.h>
#include <ImfOutputFile.h>
#include <ImfRgba.h>
#include <spng.h>
#include <tiffio.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <vector>

#include "DdsKtx.h"
#include "TGAIO.h"

namespace {

// A picture as a container's library gives it or takes it.
struct Picture {
  int width = 0, height = 0, channels = 3, bits = 8;
  std::vector<unsigned char> bytes;  // samples as the library lays them out
  std::vector<Imf::Rgba> halves;     // OpenEXR
  BwArray<unsigned char> dds;        // DDS, as read: blue, green, red bytes
};

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "container_floor: %s\n", what.c_str());
  std::exit(1);
}

std::vector<unsigned char> Slurp(const char* name) {
  std::unique_ptr<FILE, BwFileCloser> fp(std::fopen(name, "rb"));
  if (!fp) Die(std::string("cannot open ") + name);
  std::vector<unsigned char> bytes;
  if (!BwReadToEnd(fp.get(), &bytes)) Die(std::string("cannot read ") + name);
  return bytes;
}

void ReadTarga(const char* name, Picture* p) {
  std::unique_ptr<FILE, BwFileCloser> fp(std::fopen(name, "rb"));
  BwArray<unsigned char> texels;
  int depth = 0;
  if (!fp || !TGAReadImage(fp.get(), &p->width, &p->height, &depth, &texels)) Die(std::string("cannot read ") + name);
  p->channels = depth / 8;
  p->bytes.assign(texels.get(), texels.get() + size_t(p->width) * p->height * p->channels);
}

void ReadPng(const char* name, Picture* p) {
  const std::vector<unsigned char> file = Slurp(name);
  spng_ctx* ctx = spng_ctx_new(0);
  spng_ihdr ihdr;
  size_t size = 0;
  if (!ctx || spng_set_png_buffer(ctx, file.data(), file.size()) || spng_get_ihdr(ctx, &ihdr) ||
      spng_decoded_image_size(ctx, SPNG_FMT_PNG, &size))
    Die(std::string("libspng cannot read ") + name);
  p->width = int(ihdr.width), p->height = int(ihdr.height), p->bits = ihdr.bit_depth;
  p->channels = ihdr.color_type == SPNG_COLOR_TYPE_TRUECOLOR_ALPHA ? 4 : 3;
  p->bytes.resize(size);
  if (spng_decode_image(ctx, p->bytes.data(), size, SPNG_FMT_PNG, 0)) Die(std::string("libspng cannot decode ") + name);
  spng_ctx_free(ctx);
}

void WritePng(const char* name, const Picture& p) {
  std::unique_ptr<FILE, BwFileCloser> fp(std::fopen(name, "wb"));
  spng_ctx* ctx = spng_ctx_new(SPNG_CTX_ENCODER);
  spng_ihdr ihdr = {};
  ihdr.width = uint32_t(p.width), ihdr.height = uint32_t(p.height), ihdr.bit_depth = uint8_t(p.bits);
  ihdr.color_type = p.channels == 4 ? SPNG_COLOR_TYPE_TRUECOLOR_ALPHA : SPNG_COLOR_TYPE_TRUECOLOR;
  if (!fp || !ctx || spng_set_png_file(ctx, fp.get()) || spng_set_ihdr(ctx, &ihdr) ||
      spng_set_option(ctx, SPNG_FILTER_CHOICE, SPNG_FILTER_CHOICE_PAETH) ||
      spng_set_option(ctx, SPNG_IMG_COMPRESSION_LEVEL, 1) ||
      spng_set_option(ctx, SPNG_IMG_COMPRESSION_STRATEGY, Z_RLE) ||
      spng_encode_image(ctx, p.bytes.data(), p.bytes.size(), SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE))
    Die(std::string("libspng cannot write ") + name);
  spng_ctx_free(ctx);
}

void ReadTiff(const char* name, Picture* p) {
  TIFF* t = TIFFOpen(name, "r");
  uint32_t w = 0, h = 0;
  uint16_t samples = 3, bits = 8;
  if (!t || !TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &w) || !TIFFGetField(t, TIFFTAG_IMAGELENGTH, &h))
    Die(std::string("libtiff cannot read ") + name);
  TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &samples);
  TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &bits);
  p->width = int(w), p->height = int(h), p->channels = samples, p->bits = bits;
  const size_t rowBytes = size_t(w) * samples * bits / 8;
  p->bytes.resize(rowBytes * h);
  for (uint32_t s = 0, n = TIFFNumberOfStrips(t); s < n; ++s) {
    const tmsize_t got = TIFFReadEncodedStrip(t, s, p->bytes.data() + size_t(s) * TIFFStripSize(t) , tmsize_t(-1));
    if (got < 0) Die(std::string("libtiff cannot decode ") + name);
  }
  TIFFClose(t);
}

void WriteTiff(const char* name, const Picture& p) {
  TIFF* t = TIFFOpen(name, "w");
  const uint32_t stripRows = 32;
  const size_t rowBytes = size_t(p.width) * p.channels * p.bits / 8;
  bool ok = t && TIFFSetField(t, TIFFTAG_IMAGEWIDTH, uint32_t(p.width)) &&
            TIFFSetField(t, TIFFTAG_IMAGELENGTH, uint32_t(p.height)) &&
            TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, uint16_t(p.bits)) &&
            TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, uint16_t(p.channels)) &&
            TIFFSetField(t, TIFFTAG_PHOTOMETRIC, uint16_t(PHOTOMETRIC_RGB)) &&
            TIFFSetField(t, TIFFTAG_PLANARCONFIG, uint16_t(PLANARCONFIG_CONTIG)) &&
            TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, stripRows) &&
            TIFFSetField(t, TIFFTAG_COMPRESSION, uint16_t(COMPRESSION_ADOBE_DEFLATE)) &&
            TIFFSetField(t, TIFFTAG_PREDICTOR, uint16_t(PREDICTOR_HORIZONTAL)) && TIFFSetField(t, TIFFTAG_ZIPQUALITY, 7);
  // libtiff's predictor works in place: it is given a copy, as a caller that keeps its picture must.
  std::vector<unsigned char> strip;
  for (uint32_t y = 0, s = 0; ok && y < uint32_t(p.height); y += stripRows, ++s) {
    const size_t bytes = size_t(std::min<uint32_t>(stripRows, uint32_t(p.height) - y)) * rowBytes;
    strip.assign(p.bytes.data() + y * rowBytes, p.bytes.data() + y * rowBytes + bytes);
    ok = TIFFWriteEncodedStrip(t, s, strip.data(), tmsize_t(bytes)) == tmsize_t(bytes);
  }
  if (!ok) Die(std::string("libtiff cannot write ") + name);
  TIFFClose(t);
}

void ReadExr(const char* name, Picture* p) {
  Imf::InputFile file(name);
  const Imath::Box2i box = file.header().dataWindow();
  p->width = box.max.x - box.min.x + 1, p->height = box.max.y - box.min.y + 1;
  p->halves.resize(size_t(p->width) * p->height);
  Imf::FrameBuffer fb;
  const size_t xs = sizeof(Imf::Rgba), ys = xs * size_t(p->width);
  char* base = reinterpret_cast<char*>(p->halves.data());
  fb.insert("R", Imf::Slice(Imf::HALF, base, xs, ys));
  fb.insert("G", Imf::Slice(Imf::HALF, base + 2, xs, ys));
  fb.insert("B", Imf::Slice(Imf::HALF, base + 4, xs, ys));
  file.setFrameBuffer(fb);
  file.readPixels(box.min.y, box.max.y);
}

void WriteExr(const char* name, const Picture& p) {
  Imf::Header header(p.width, p.height);
  header.compression() = Imf::ZIP_COMPRESSION;
  for (const char* c : {"R", "G", "B"}) header.channels().insert(c, Imf::Channel(Imf::HALF));
  Imf::OutputFile file(name, header);
  Imf::FrameBuffer fb;
  const size_t xs = sizeof(Imf::Rgba), ys = xs * size_t(p.width);
  char* base = const_cast<char*>(reinterpret_cast<const char*>(p.halves.data()));
  fb.insert("R", Imf::Slice(Imf::HALF, base, xs, ys));
  fb.insert("G", Imf::Slice(Imf::HALF, base + 2, xs, ys));
  fb.insert("B", Imf::Slice(Imf::HALF, base + 4, xs, ys));
  file.setFrameBuffer(fb);
  file.writePixels(p.height);
}

void ReadDds(const char* name, Picture* p) {
  std::unique_ptr<FILE, BwFileCloser> fp(std::fopen(name, "rb"));
  BwDdsImage image;
  image.bytesFor8Bit = true;
  std::string error;
  if (!fp || !BwReadDds(fp.get(), &image, &error)) Die(std::string("cannot read ") + name + ": " + error);
  if (!image.bytes) Die(std::string(name) + " is not in the rgba8 layout");
  p->width = image.width, p->height = image.height, p->channels = 4;
  p->dds = std::move(image.bytes);
}

void WriteDds(const char* name, const Picture& p) {
  std::unique_ptr<FILE, BwFileCloser> fp(std::fopen(name, "wb"));
  BwGpuTextureWriter writer;
  std::string error;
  if (!fp || !writer.Begin(fp.get(), BwContainer::DDS, BwGpuFormat::RGBA8, p.width, p.height, 1, &error) ||
      !writer.Level(0, p.bytes.data(), p.bytes.size(), &error) || !writer.End(&error))
    Die(std::string("cannot write ") + name + ": " + error);
}

void WriteTarga(const char* name, const Picture& p) {
  std::unique_ptr<FILE, BwFileCloser> fp(std::fopen(name, "wb"));
  if (!fp || !TGAWriteImage(fp.get(), p.width, p.height, p.channels * 8, p.bytes.data(), false))
    Die(std::string("cannot write ") + name);
}

// The picture in the writer's layout: RGB(A) at `bits`, halves for OpenEXR, RGBA bytes for DDS.
void ToWriterLayout(const std::string& container, int bits, Picture* p) {
  const size_t texels = size_t(p->width) * p->height;
  if (container == "exr" && p->halves.empty()) {
    p->halves.resize(texels);
    for (size_t i = 0; i < texels; ++i) {
      const unsigned char* t = &p->bytes[i * size_t(p->channels)];
      p->halves[i] = Imf::Rgba(t[0] / 127.5f - 1.0f, t[1] / 127.5f - 1.0f, t[2] / 127.5f - 1.0f);
    }
  }
  if (container == "dds" && p->dds) {
    p->bytes.assign(texels * 4, 255);
    for (size_t i = 0; i < texels; ++i)
      for (int c = 0; c < 3; ++c) p->bytes[i * 4 + c] = p->dds[i * 3 + 2 - c];
  } else if (container == "dds" && p->channels == 3) {
    std::vector<unsigned char> rgba(texels * 4, 255);
    for (size_t i = 0; i < texels; ++i) std::memcpy(&rgba[i * 4], &p->bytes[i * 3], 3);
    p->bytes.swap(rgba);
    p->channels = 4;
  }
  if ((container == "png" || container == "tiff") && bits == 16 && p->bits == 8) {
    std::vector<unsigned char> wide(p->bytes.size() * 2);
    for (size_t i = 0; i < p->bytes.size(); ++i) {
      const uint16_t v = uint16_t(p->bytes[i] * 257);
      std::memcpy(&wide[i * 2], &v, 2);
    }
    p->bytes.swap(wide);
    p->bits = 16;
  }
}

void Read(const std::string& container, const char* name, Picture* p) {
  if (container == "tga") return ReadTarga(name, p);
  if (container == "png") return ReadPng(name, p);
  if (container == "tiff") return ReadTiff(name, p);
  if (container == "exr") return ReadExr(name, p);
  if (container == "dds") return ReadDds(name, p);
  Die("unknown container " + container);
}

void Write(const std::string& container, const char* name, const Picture& p) {
  if (container == "tga") return WriteTarga(name, p);
  if (container == "png") return WritePng(name, p);
  if (container == "tiff") return WriteTiff(name, p);
  if (container == "exr") return WriteExr(name, p);
  if (container == "dds") return WriteDds(name, p);
  Die("unknown container " + container);
}

struct Clock {
  double cpu = 0, wall = 0;
  static Clock Now() {
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    const double cpu = double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    return {cpu, wall};
  }
};

}  // namespace

int main(int argc, char** argv) {
  TIFFSetWarningHandler(nullptr);
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "make" && argc == 6) {
    Picture p;
    ReadTarga(argv[4], &p);
    const std::string container = argv[2];
    // Targa texels are blue, green, red; the other containers take red first.
    if (container != "tga")
      for (size_t i = 0; i < p.bytes.size(); i += size_t(p.channels)) std::swap(p.bytes[i], p.bytes[i + 2]);
    ToWriterLayout(container, std::atoi(argv[3]), &p);
    Write(container, argv[5], p);
    return 0;
  }
  if (mode != "job" || argc != 7)
    Die("usage: container_floor make CONTAINER BITS in.tga out | job CONTAINER base detail merged out");
  const std::string container = argv[2];
  Picture base, detail, merged;
  Read(container, argv[5], &merged);
  ToWriterLayout(container, merged.bits, &merged);
  const Clock start = Clock::Now();
  std::thread second([&] { Read(container, argv[4], &detail); });
  Read(container, argv[3], &base);
  second.join();
  const Clock read = Clock::Now();
  Write(container, argv[6], merged);
  const Clock written = Clock::Now();
  std::printf("read %.4f %.4f write %.4f %.4f\n", read.cpu - start.cpu, read.wall - start.wall,
              written.cpu - read.cpu, written.wall - read.wall);
  return 0;
}
