// The extension module bumpweld._bumpweld: a job of the C interface for Python, with numpy
// arrays in and out. It reads arrays of uint8, uint16 or float32 values (1 to 4 channels, rows
// in any order and at any distance, each row's texels side by side) and hands them to the
// library in place; an array whose texels are not side by side within a row, whose rows overlap
// or whose values are misaligned is copied once. It writes result levels as new arrays in
// picture order (top row first): Targa levels as red, green, blue[, alpha] bytes, .kep levels
// as their texel words. It refuses a job that is already running on another thread.
// Everything goes through bumpweld/bumpweld.h and nothing else of the library.
#include <bumpweld/bumpweld.h>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace py = pybind11;

namespace {

// The bumpweld.Error exception type and the bumpweld.ErrorCode enumeration, made when the module
// is imported.
PyObject* gErrorType = nullptr;
PyObject* gErrorCode = nullptr;

// Raises bumpweld.Error with the message and, as its `code`, the BW_ERROR_ code of the failure.
[[noreturn]] void RaiseError(const std::string& message, int code = BW_ERROR_ARGUMENT) {
  PyObject* error = PyObject_CallFunction(gErrorType, "s", message.c_str());
  if (error) {
    PyObject* number = PyObject_CallFunction(gErrorCode, "i", code);
    if (number && PyObject_SetAttrString(error, "code", number) == 0) PyErr_SetObject(gErrorType, error);
    Py_XDECREF(number);
    Py_DECREF(error);
  }
  throw py::error_already_set();
}

[[noreturn]] void RaiseJobError(const bw_job* job) { RaiseError(bw_job_error(job), bw_job_status(job)); }

struct JobDeleter {
  void operator()(bw_job* job) const { bw_job_free(job); }
};

// Marks a job busy for the length of one run; a second run on the same job from another thread
// would race on the job's settings and results.
class BusyGuard {
 public:
  explicit BusyGuard(std::atomic<bool>& busy) : busy_(busy) {
    if (busy_.exchange(true)) throw std::runtime_error("this job is already running on another thread");
  }
  ~BusyGuard() { busy_.store(false); }
  BusyGuard(const BusyGuard&) = delete;
  BusyGuard& operator=(const BusyGuard&) = delete;

 private:
  std::atomic<bool>& busy_;
};

// An input array as the library reads it, and the array that holds its values (the caller's,
// or the one copy made of it), kept alive while the job runs without the interpreter lock.
struct InputImage {
  bw_image image{};
  py::array holder;
};

int TexelType(const py::array& values) {
  const py::dtype type = values.dtype();
  if (type.equal(py::dtype::of<uint8_t>())) return BW_UINT8;
  if (type.equal(py::dtype::of<uint16_t>())) return BW_UINT16;
  if (type.equal(py::dtype::of<float>())) return BW_FLOAT32;
  throw py::type_error("an image must hold uint8, uint16, float32 or float64 values in the machine's byte order, not " +
                       std::string(py::str(static_cast<const py::object&>(type))));
}

// Fills `input` from an array of shape (height, width) or (height, width, channels) whose
// texels lie side by side within each row; false when the array needs a copy first.
bool DescribeInPlace(const py::array& values, InputImage* input) {
  const py::ssize_t ndim = values.ndim();
  const py::ssize_t itemBytes = values.itemsize();
  const py::ssize_t height = values.shape(0), width = values.shape(1);
  const py::ssize_t channels = ndim == 3 ? values.shape(2) : 1;
  bw_image& image = input->image;
  image.type = TexelType(values);
  image.width = int(width);
  image.height = int(height);
  image.channels = int(channels);
  image.top_first = 1;
  image.bgr_order = 0;
  const unsigned char* first = static_cast<const unsigned char*>(values.data());
  if (width == 0 || height == 0) {
    image.texels = first;
    image.stride_bytes = 0;
    return true;
  }
  // 16- and 32-bit values are read in place only where they are aligned.
  const auto misaligned = [itemBytes](py::ssize_t offset) { return offset % itemBytes != 0; };
  if (misaligned(py::ssize_t(reinterpret_cast<uintptr_t>(first) % uintptr_t(itemBytes))) ||
      misaligned(values.strides(0)) || misaligned(values.strides(1)) || (ndim == 3 && misaligned(values.strides(2))))
    return false;
  // Channels: side by side, or a reversed view of three (blue, green, red in memory).
  const py::ssize_t channelStep = ndim == 3 ? values.strides(2) : itemBytes;
  if (channels > 1 && channelStep != itemBytes) {
    if (channels != 3 || channelStep != -itemBytes) return false;
    first -= 2 * itemBytes;
    image.bgr_order = 1;
  }
  const py::ssize_t texelBytes = channels * itemBytes;
  if (width > 1 && values.strides(1) != texelBytes) return false;
  // Rows: any distance of at least a row, either way; a view with rows reversed is handed over
  // from its last row, which is the picture's bottom.
  const py::ssize_t rowBytes = width * texelBytes;
  py::ssize_t rowStep = values.strides(0);
  if (height == 1) {
    rowStep = rowBytes;
  } else if (rowStep < 0 && rowStep <= -rowBytes) {
    first += (height - 1) * rowStep;
    rowStep = -rowStep;
    image.top_first = 0;
  } else if (rowStep < rowBytes) {
    return false;  // overlapping rows, as a broadcast view has
  }
  image.texels = first;
  image.stride_bytes = rowStep;
  return true;
}

// Bytes of memory the system can give without swapping (or, not saying, no limit).
uint64_t AvailableMemory() {
  const uint64_t bytes = bw_available_memory();
  return bytes ? bytes : UINT64_MAX;
}

// Refuses, before it is tried, a copy of `values` at `itemBytes` a value that the memory could not
// hold.
void RefuseCopy(const py::array& values, uint64_t itemBytes, const char* what) {
  const uint64_t copyBytes = uint64_t(values.size()) * itemBytes;
  if (copyBytes <= AvailableMemory() / 2) return;
  PyErr_SetString(PyExc_MemoryError, (std::string(what) + " would need a copy of " + std::to_string(copyBytes) +
                                      " bytes to be read, more than half the memory available; pass an array "
                                      "whose texels lie side by side within each row").c_str());
  throw py::error_already_set();
}

InputImage DescribeImage(const py::array& values, const char* what) {
  if (values.ndim() != 2 && values.ndim() != 3)
    throw py::value_error(std::string(what) + " must have shape (height, width) or (height, width, channels)");
  for (py::ssize_t axis = 0; axis < values.ndim(); ++axis)
    if (values.shape(axis) > INT_MAX)
      throw py::value_error(std::string(what) + " is too large");
  InputImage input;
  input.holder = values;
  // float64 values (numpy's default, as `img / 127.5 - 1` makes) are read as float32 ones: one
  // copy, rounded to nearest as numpy's astype rounds.
  if (values.dtype().equal(py::dtype::of<double>())) {
    RefuseCopy(values, 4, what);
    input.holder = values.attr("astype")(py::dtype::of<float>());
    if (!DescribeInPlace(input.holder, &input)) throw py::value_error(std::string(what) + " cannot be read");
    return input;
  }
  if (DescribeInPlace(values, &input)) return input;
  // A view whose texels do not lie side by side (a broadcast array, every other column) is
  // copied once; a copy the memory could not hold is refused before it is tried.
  RefuseCopy(values, uint64_t(values.itemsize()), what);
  const py::object require = py::module_::import("numpy").attr("require");
  input.holder = require(values, py::none(), py::make_tuple("C_CONTIGUOUS", "ALIGNED"));
  if (!DescribeInPlace(input.holder, &input)) throw py::value_error(std::string(what) + " cannot be read");
  return input;
}

// One result level as a new array in picture order, red first, filled by the library on the
// job's threads.
py::array DecodeLevel(const bw_job* job, int level) {
  int width = 0, height = 0, channels = 0, type = 0;
  if (bw_result_layout(job, level, &width, &height, &channels, &type) != BW_OK)
    RaiseError("ERROR: No result level " + std::to_string(level));
  std::vector<py::ssize_t> shape{height, width};
  if (channels > 1) shape.push_back(channels);
  py::array out;
  switch (type) {
    case BW_UINT8: out = py::array_t<uint8_t>(shape); break;
    case BW_UINT16: out = py::array_t<uint16_t>(shape); break;
    case BW_INT16: out = py::array_t<int16_t>(shape); break;
    case BW_FLOAT32: out = py::array_t<float>(shape); break;
    default: out = py::array_t<uint32_t>(shape); break;
  }
  int status;
  {
    py::gil_scoped_release unlocked;
    status = bw_result_copy(job, level, out.mutable_data(), 0, 1, 0);
  }
  if (status != BW_OK) RaiseError("ERROR: No result level " + std::to_string(level));
  return out;
}

// A bw_job with its settings; runs release the interpreter lock.
class Job {
 public:
  Job() : job_(bw_job_new()) {
    if (!job_) throw std::bad_alloc();
  }

  void SetFlags(const std::string& flagWord) {
    if (bw_job_set_flags(job_.get(), flagWord.c_str()) != 0) RaiseJobError(job_.get());
  }
  void SetHeightScale(double scale) { bw_job_set_height_scale(job_.get(), scale); }
  void SetHeightScaleText(const std::string& text) {
    if (bw_job_set_height_scale_text(job_.get(), text.c_str()) != 0) RaiseJobError(job_.get());
  }
  void ClearHeightScale() { bw_job_clear_height_scale(job_.get()); }
  // A count the C interface cannot take raises ValueError, whatever its size (a conversion to
  // int would raise TypeError or OverflowError).
  void SetThreads(const py::object& threads) {
    const py::int_ count = py::reinterpret_steal<py::int_>(PyNumber_Index(threads.ptr()));
    if (!count) throw py::error_already_set();
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(count.ptr(), &overflow);
    if (overflow != 0 || value < 0 || value > INT_MAX)
      throw py::value_error("threads must be 0 (every CPU) to " + std::to_string(INT_MAX) + ", not " +
                            std::string(py::str(static_cast<const py::object&>(count))));
    bw_job_set_threads(job_.get(), int(value));
  }
  void SetOption(const std::string& option) {
    if (bw_job_set_option(job_.get(), option.c_str()) != 0) RaiseJobError(job_.get());
  }

  void RunFiles(const py::bytes& base, const py::bytes& second, const py::bytes& output) {
    const std::string baseName = base, secondName = second, outputName = output;
    BusyGuard busy(busy_);
    int status;
    {
      py::gil_scoped_release unlocked;
      status = bw_run_files(job_.get(), baseName.c_str(), secondName.c_str(), outputName.c_str());
    }
    if (status != 0) RaiseJobError(job_.get());
  }

  void SetCommand(const std::vector<std::string>& args) {
    std::vector<const char*> argv;
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    if (bw_job_set_command(job_.get(), int(argv.size()), argv.data()) != 0) RaiseJobError(job_.get());
  }

  void SetCommandLine(const std::string& line) {
    if (bw_job_set_command_line(job_.get(), line.c_str()) != 0) RaiseJobError(job_.get());
  }
  std::vector<std::string> Words() const {
    std::vector<std::string> words;
    for (int i = 0; i < bw_command_word_count(job_.get()); ++i) words.push_back(bw_command_word(job_.get(), i));
    return words;
  }

  void RunCommand() {
    BusyGuard busy(busy_);
    int status;
    {
      py::gil_scoped_release unlocked;
      status = bw_run_command(job_.get());
    }
    if (status != 0) RaiseJobError(job_.get());
  }

  // The files the last run put in place, as bytes (file names need not be text).
  py::list Outputs() const {
    py::list names;
    for (int i = 0; i < bw_output_count(job_.get()); ++i) names.append(py::bytes(bw_output_name(job_.get(), i)));
    return names;
  }

  // With --stats, the angle error of each level of the last run.
  py::list Stats() const {
    py::list levels;
    for (int level = 0; level < bw_stats_count(job_.get()); ++level) {
      double mean = 0, p99 = 0, max = 0;
      bw_stats_level(job_.get(), level, &mean, &p99, &max);
      py::dict figures;
      figures["level"] = level;
      figures["mean"] = mean;
      figures["p99"] = p99;
      figures["max"] = max;
      levels.append(figures);
    }
    return levels;
  }

  py::list RunImages(const py::array& base, const py::array& second) {
    const InputImage baseImage = DescribeImage(base, "the base image");
    const InputImage secondImage = DescribeImage(second, "the second image");
    BusyGuard busy(busy_);
    int status;
    {
      // The holders keep both arrays alive; the caller must not change them meanwhile.
      py::gil_scoped_release unlocked;
      status = bw_run_images(job_.get(), &baseImage.image, &secondImage.image);
    }
    if (status != 0) RaiseJobError(job_.get());
    py::list levels;
    for (int level = 0; level < bw_result_count(job_.get()); ++level) levels.append(DecodeLevel(job_.get(), level));
    return levels;
  }

 private:
  std::unique_ptr<bw_job, JobDeleter> job_;
  std::atomic<bool> busy_{false};
};

struct TreeDeleter {
  void operator()(bw_tree* tree) const { bw_tree_free(tree); }
};

// An asset tree's plan and records (a bw_tree); raises Error for a manifest that is not one or
// a plan with problems (every one, a line each).
class Tree {
 public:
  explicit Tree(const std::string& manifest) : tree_(bw_tree_plan(manifest.c_str())) {
    if (!tree_) throw std::bad_alloc();
    if (*bw_tree_error(tree_.get())) RaiseError(bw_tree_error(tree_.get()), BW_ERROR_COMMAND);
  }
  int Count() const { return bw_tree_job_count(tree_.get()); }
  std::vector<std::string> Words(int job) const {
    Check(job);
    std::vector<std::string> words;
    for (int i = 0; i < bw_tree_word_count(tree_.get(), job); ++i) words.push_back(bw_tree_word(tree_.get(), job, i));
    return words;
  }
  std::string Line(int job) const {
    Check(job);
    return bw_tree_line(tree_.get(), job);
  }
  void MakeFolders() {
    if (bw_tree_make_folders(tree_.get()) != 0) RaiseError(bw_tree_error(tree_.get()), BW_ERROR_WRITE);
  }
  // None when the job must run, else the files it stands for.
  py::object UpToDate(int job) {
    Check(job);
    int current;
    {
      py::gil_scoped_release unlocked;
      current = bw_tree_up_to_date(tree_.get(), job);
    }
    if (!current) return py::none();
    py::list names;
    for (int i = 0; i < bw_tree_output_count(tree_.get(), job); ++i)
      names.append(py::bytes(bw_tree_output(tree_.get(), job, i)));
    return std::move(names);
  }
  void Record(int job, const std::vector<std::string>& outputs) {
    Check(job);
    std::vector<const char*> names;
    for (const std::string& name : outputs) names.push_back(name.c_str());
    bw_tree_record(tree_.get(), job, int(names.size()), names.data());
  }
  std::string Finish() { return bw_tree_finish(tree_.get()); }

 private:
  void Check(int job) const {
    if (job < 0 || job >= Count()) throw py::index_error("no such job");
  }
  std::unique_ptr<bw_tree, TreeDeleter> tree_;
};

}  // namespace

PYBIND11_MODULE(_bumpweld, m) {
  m.doc() = "Bumpweld's C interface for Python: jobs, images in memory and files.";
  gErrorType = PyErr_NewExceptionWithDoc("bumpweld.Error",
                                         "A run failed; the message is the one the command line prints, `code` the kind of failure (ERROR_OPEN, ...).",
                                         PyExc_Exception, nullptr);
  if (!gErrorType) throw py::error_already_set();
  m.add_object("Error", py::handle(gErrorType));
  // The failure codes of Error.code: bumpweld.ErrorCode, an IntEnum (ErrorCode.OPEN == 4), and
  // the same numbers as module constants (ERROR_OPEN).
  py::list members;
  for (int code = BW_ERROR_ARGUMENT; code <= BW_ERROR_MEMORY; ++code) {
    static const char* const kNames[] = {"ARGUMENT", "COMMAND", "SETTINGS", "OPEN", "READ", "SIZE", "WRITE", "MEMORY"};
    const char* name = kNames[code - BW_ERROR_ARGUMENT];
    m.attr(("ERROR_" + std::string(name)).c_str()) = code;
    members.append(py::make_tuple(name, code));
  }
  py::object errorCode = py::module_::import("enum").attr("IntEnum")("ErrorCode", members, py::arg("module") = "bumpweld");
  errorCode.attr("__doc__") = "The kind of failure of a bumpweld.Error (its `code`), as the C interface's BW_ERROR_ codes.";
  m.attr("ErrorCode") = errorCode;
  gErrorCode = errorCode.release().ptr();

  m.def("is_option", [](const std::string& name) { return bw_is_option(name.c_str()) != 0; }, py::arg("name"),
        "Whether NAME (\"--round\", \"--bits\") is a long option of a job.");
  m.def("version", [] { return std::string(bw_version()); }, "The library's version, \"MAJOR.MINOR.PATCH\".");

  py::class_<Job>(m, "Job", "One merge's settings and its last results (a bw_job).")
      .def(py::init<>())
      .def("set_flags", &Job::SetFlags, py::arg("flag_word"),
           "Sets the settings of a command-line flag word such as \"-mB\", starting from the defaults.")
      .def("set_height_scale", &Job::SetHeightScale, py::arg("scale"),
           "Makes the second map a height map, its heights scaled by scale.")
      .def("set_height_scale_text", &Job::SetHeightScaleText, py::arg("text"),
           "The same with the scale as the command line takes it, as text (read as C's atof reads it).")
      .def("clear_height_scale", &Job::ClearHeightScale, "Makes the second map a normal map again.")
      .def("set_threads", &Job::SetThreads, py::arg("threads"),
           "Threads a run may use, 0 to 2**31 - 1 (0: every CPU); ValueError out of range.")
      .def("set_option", &Job::SetOption, py::arg("option"),
           "Sets a long option of the command line, spelled as there (\"--round\", \"--bits=16\").")
      .def("run_files", &Job::RunFiles, py::arg("base"), py::arg("second"), py::arg("output"),
           "Writes the files the command line writes; raises Error on failure.")
      .def("set_command", &Job::SetCommand, py::arg("args"),
           "Reads one command line (the words after the program name) into the job; raises Error.")
      .def("set_command_line", &Job::SetCommandLine, py::arg("line"),
           "Reads one line of a batch file (split as the batch splits it) into the job; raises Error.")
      .def("words", &Job::Words, "The words of the last command line set, also when it was refused.")
      .def("run_command", &Job::RunCommand, "Runs the command line last set; raises Error on failure.")
      .def("outputs", &Job::Outputs, "The files the last run put in place, as bytes.")
      .def("stats", &Job::Stats,
           "With the option --stats, each level's angle error in degrees: dicts of level, mean, p99 and max.")
      .def("run_images", &Job::RunImages, py::arg("base"), py::arg("second"),
           "Merges two arrays and returns the result levels in picture order; raises Error on failure.");

  py::class_<Tree>(m, "Tree", "An asset tree's plan and the records of what was built (a bw_tree).")
      .def(py::init<const std::string&>(), py::arg("manifest"),
           "Plans the tree of a manifest; raises Error with the fault or every problem, one a line.")
      .def("__len__", &Tree::Count)
      .def("words", &Tree::Words, py::arg("job"), "The command line of a job, without the program name.")
      .def("line", &Tree::Line, py::arg("job"), "The same as the line of a batch file.")
      .def("make_folders", &Tree::MakeFolders, "Makes the folders of the outputs; raises Error.")
      .def("up_to_date", &Tree::UpToDate, py::arg("job"),
           "None when the job must run (its inputs are hashed now, for record), else its files, as bytes.")
      .def("record", &Tree::Record, py::arg("job"), py::arg("outputs"),
           "Records that the job, asked about with up_to_date before it ran, wrote these files.")
      .def("finish", &Tree::Finish, "Writes the records not written yet; returns the records' warnings, a line each.");
}
