// What the WebAssembly module adds to the C interface for its JavaScript side (web/bumpweld.js):
// records of bw_image and bw_input made from plain numbers, and a console that hands a run's
// output to Module.onConsole. Every rule stays in the library; this file only
// carries values across.
#include <bumpweld/bumpweld.h>
#include <emscripten.h>

#include <cstdlib>
#include <new>
#include <string>

// Calls Module.onConsole(stream, text), when the page or the test set one.
EM_JS(void, BwjsConsole, (int stream, const char* text, size_t length), {
  if (Module["onConsole"]) Module["onConsole"](stream, UTF8ToString(text, length));
});

namespace {

// A run's console text, handed to JavaScript in pieces at most every 20 ms and at the end of the
// run: crossing once for every spinner frame (one a row) would cost a good part of a merge.
struct ConsoleRelay {
  std::string pending;
  int stream = 1;
  double flushed = 0;

  void Flush() {
    if (!pending.empty()) BwjsConsole(stream, pending.data(), pending.size());
    pending.clear();
    flushed = emscripten_get_now();
  }
};

void Relay(void* user, int stream, const char* text, size_t length) {
  ConsoleRelay* relay = static_cast<ConsoleRelay*>(user);
  if (stream != relay->stream) {
    relay->Flush();
    relay->stream = stream;
  }
  try {
    relay->pending.append(text, length);
  } catch (...) {
    relay->Flush();  // no memory for more: what is there goes now, this piece is dropped
    return;
  }
  if (emscripten_get_now() - relay->flushed >= 20) relay->Flush();
}

}  // namespace

extern "C" {

// An image record for bw_input; null when memory is short. Freed with free().
EMSCRIPTEN_KEEPALIVE bw_image* bwjs_image_new(const void* texels, int type, int width, int height, int channels,
                                              int strideBytes, int topFirst, int bgrOrder) {
  bw_image* image = static_cast<bw_image*>(std::malloc(sizeof(bw_image)));
  if (!image) return nullptr;
  *image = bw_image{texels, type, width, height, channels, strideBytes, topFirst, bgrOrder};
  return image;
}

// Points an image record at its texels once bwjs_check_image has passed it.
EMSCRIPTEN_KEEPALIVE void bwjs_image_set_texels(bw_image* image, const void* texels) { image->texels = texels; }

// bw_job_check_image with the length as a JavaScript number (a typed array's byteLength).
EMSCRIPTEN_KEEPALIVE int bwjs_check_image(bw_job* job, const bw_image* image, const char* name, double bytes) {
  return bw_job_check_image(job, image, name, uint64_t(bytes));
}

// An input record: a file name, or an image named `name` in messages. Freed with free().
EMSCRIPTEN_KEEPALIVE bw_input* bwjs_input_new(const char* name, const bw_image* image) {
  bw_input* input = static_cast<bw_input*>(std::malloc(sizeof(bw_input)));
  if (!input) return nullptr;
  *input = bw_input{name, image};
  return input;
}

// Sends the job's console output to Module.onConsole until bwjs_console_end; null when memory is
// short.
EMSCRIPTEN_KEEPALIVE ConsoleRelay* bwjs_console_begin(bw_job* job) {
  ConsoleRelay* relay = new (std::nothrow) ConsoleRelay;
  if (relay) bw_job_set_console(job, Relay, relay);
  return relay;
}

// Hands over what is left of the output, silences the job and frees the relay.
EMSCRIPTEN_KEEPALIVE void bwjs_console_end(bw_job* job, ConsoleRelay* relay) {
  bw_job_set_console(job, nullptr, nullptr);
  if (!relay) return;
  relay->Flush();
  delete relay;
}

// The pieces of a result level bw_result_level gives through pointers, one at a time.
EMSCRIPTEN_KEEPALIVE const unsigned char* bwjs_result_bytes(const bw_job* job, int level) {
  return bw_result_level(job, level, nullptr, nullptr, nullptr, nullptr);
}
EMSCRIPTEN_KEEPALIVE int bwjs_result_size(const bw_job* job, int level) {
  size_t size = 0;
  return bw_result_level(job, level, nullptr, nullptr, &size, nullptr) ? int(size) : -1;
}
EMSCRIPTEN_KEEPALIVE int bwjs_result_width(const bw_job* job, int level) {
  int width = 0;
  return bw_result_level(job, level, &width, nullptr, nullptr, nullptr) ? width : -1;
}
EMSCRIPTEN_KEEPALIVE int bwjs_result_height(const bw_job* job, int level) {
  int height = 0;
  return bw_result_level(job, level, nullptr, &height, nullptr, nullptr) ? height : -1;
}
EMSCRIPTEN_KEEPALIVE int bwjs_result_header_bytes(const bw_job* job, int level) {
  size_t header = 0;
  return bw_result_level(job, level, nullptr, nullptr, nullptr, &header) ? int(header) : -1;
}

}  // extern "C"
