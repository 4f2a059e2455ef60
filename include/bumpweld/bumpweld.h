/* Bumpweld: merges a detail normal map (or a height map turned into normals) into the frame of
 * a base normal map, texel by texel, and writes Targa, PNG, TIFF, OpenEXR, DDS, KTX2 or raw .kep
 * textures (or levels in memory), optionally with a whole mip chain.
 *
 * A job holds the settings of one merge and the outcome of the last run. Jobs are independent:
 * several may run at once on different threads, each with its own settings. Functions that
 * return int give BW_OK (0) on success and a BW_ERROR_ code on failure; the message, the
 * words the command line prints (for example "ERROR: Unable to open maps/base.tga"), is then
 * bw_job_error(). No function ends the process or prints anything unless a console is set.
 *
 *   bw_job *job = bw_job_new();
 *   bw_job_set_flags(job, "-m");
 *   if (bw_run_files(job, "base.tga", "detail.tga", "out.tga") != 0)
 *     fprintf(stderr, "%s\n", bw_job_error(job));
 *   bw_job_free(job);
 */
#ifndef BUMPWELD_BUMPWELD_H
#define BUMPWELD_BUMPWELD_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define BW_API __attribute__((visibility("default")))
#else
#define BW_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct bw_job bw_job;

/* What a function that returns int gives: BW_OK, or what kind of failure it was, for a caller to
 * branch on; bw_job_error has the message itself. */
enum {
  BW_OK = 0,
  BW_ERROR_ARGUMENT = 1, /* a NULL pointer, or a value the function does not take */
  BW_ERROR_COMMAND = 2,  /* a command line that is none of the forms, an unknown flag letter or
                            long option, or a value an option does not take */
  BW_ERROR_SETTINGS = 3, /* settings that do not go with each other or with the output (--bits=16
                            without .png, an unknown --format, a height scale not finite) */
  BW_ERROR_OPEN = 4,     /* an input or output file could not be opened */
  BW_ERROR_READ = 5,     /* an input could not be read, or is not a map of a kind the tool reads */
  BW_ERROR_SIZE = 6,     /* the two maps differ in size */
  BW_ERROR_WRITE = 7,    /* an output could not be written or put in place */
  BW_ERROR_MEMORY = 8    /* memory ran short */
};
/* A short text for a status code ("ok", "bad argument", "cannot open a file", ...). */
BW_API const char *bw_strerror(int status);

/* The library's version, "MAJOR.MINOR.PATCH". */
BW_API const char *bw_version(void);

/* Bytes of memory the system can give without swapping, as the batch budgets it (Linux's
 * MemAvailable, else the free physical pages); 0 when the system does not say. */
BW_API uint64_t bw_available_memory(void);

/* A job with the command line's defaults (24-bit Targa, no mip chain, 10 dilation passes, the
 * second map a normal map, all CPUs, silent); NULL when memory is short. */
BW_API bw_job *bw_job_new(void);
BW_API void bw_job_free(bw_job *job);

/* Sets the settings of a command-line flag word such as "-mB" (the leading '-' is optional),
 * starting from the defaults each time. Fails on a character that is neither '-' nor one of the
 * flag letters B e E g G h H i m M q Q s S. */
BW_API int bw_job_set_flags(bw_job *job, const char *flag_word);
/* Makes the second map a height map whose heights (0 to 255) are scaled by scale / 255. */
BW_API void bw_job_set_height_scale(bw_job *job, double scale);
/* The same with the scale as the command line takes it, as text: the number at its start as C's
 * atof reads it ("2.5", "1e-3", "0x10", "16abc" is 16). A run refuses a scale that is not
 * finite in single precision, naming it as typed. */
BW_API int bw_job_set_height_scale_text(bw_job *job, const char *text);
/* The second map is a normal map again (the default). */
BW_API void bw_job_clear_height_scale(bw_job *job);
/* Sets what one long option of the command line sets, spelled as there: "--round",
 * "--bits=16", "--flip-green=second", "--alpha-empty", "--height-channel=luma",
 * "--exr-channel=Y", "--format=bc5", "--threads=4", "--detail-strength=0.5", "--mask=m.png",
 * "--blend=whiteout", "--edges=clamp", "--fill=all". Options add up until bw_job_clear_options;
 * bw_job_set_flags leaves them alone. Fails, with bw_job_error, on an unknown option or value. */
BW_API int bw_job_set_option(bw_job *job, const char *option);
/* 1 when NAME, spelled without a value ("--round", "--bits"), is a long option of a job. */
BW_API int bw_is_option(const char *name);
/* Back to the defaults of every long option. */
BW_API void bw_job_clear_options(bw_job *job);
/* Threads a run may use; 0 (the default): the CPUs the process may use. */
BW_API void bw_job_set_threads(bw_job *job, int threads);

/* With `confined`, the job opens only files within its working folder: an input, output or
 * --mask name that is absolute or has a ".." part is refused with BW_ERROR_OPEN ("ERROR: The file
 * /dev/urandom is outside the job's folder") when the option is set or the run starts. For hosts
 * that give a job a folder of the caller's files (the WebAssembly module). Off by default. */
BW_API void bw_job_confine_files(bw_job *job, int confined);

/* Receives the console output of a run, the bytes the command line writes after its settings
 * report: stream 1 is standard output (stage messages, spinner frames, percentages, "Wrote"),
 * stream 2 standard error (file-format details). The flag letters q and Q quieten it as they do
 * the command line. NULL: silence (the default). Called on the thread that runs the job. */
typedef void (*bw_console_fn)(void *user, int stream, const char *text, size_t length);
BW_API void bw_job_set_console(bw_job *job, bw_console_fn console, void *user);

/* Writes exactly the files `bumpweld [flags] base second [scale] output` writes. Outputs are
 * complete or absent: on failure nothing is left of them and files that were there keep their
 * content. */
BW_API int bw_run_files(bw_job *job, const char *base, const char *second, const char *output);

/* Reads one command line into the job, the words after the program name as the command line
 * and the lines of a batch take them (flag word, base, second, height scale, output, long
 * options anywhere): the job's flag word, long options and height scale become the line's, and
 * the three file names are kept for bw_run_command. Fails, with bw_job_error, for a line that
 * is none of the argument forms (the usage line), an unknown option, or --help, --version or a
 * batch option, which have no place in a job. */
BW_API int bw_job_set_command(bw_job *job, int argc, const char *const *argv);
/* Reads one line of a batch file as `bumpweld --batch` reads it (words split at blanks and
 * tabs, '...' and "..." quoting, a backslash keeping the character after it, a '#' that starts
 * a word starting a comment) and sets it as bw_job_set_command does. A blank line or one with
 * only a comment sets no command and succeeds with no words; an open quote or a backslash at
 * the end of the line fails with BW_ERROR_COMMAND. */
BW_API int bw_job_set_command_line(bw_job *job, const char *line);
/* The words of the last command line set (kept when the line is refused, none when it could not
 * be split), for reports. */
BW_API int bw_command_word_count(const bw_job *job);
BW_API const char *bw_command_word(const bw_job *job, int index);
/* Runs the command line last read by bw_job_set_command: the same files as bw_run_files, and
 * on the console the settings report first, as the command line prints it. */
BW_API int bw_run_command(bw_job *job);

/* The files the last bw_run_files or bw_run_command put in place, in the order written: the
 * output name, one numbered file per level of a mip chain, or the one DDS or KTX2 file that
 * holds the chain. 0 files after a failure. */
BW_API int bw_output_count(const bw_job *job);
BW_API const char *bw_output_name(const bw_job *job, int index);

/* Component types of an image in memory. */
enum {
  BW_UINT8 = 0,   /* normal components (v - 127.5) / 127.5; 127, 127, 127 is the empty texel;
                     heights v / 255 times the scale */
  BW_UINT16 = 1,  /* normal components (v - 32767.5) / 32767.5; a texel whose three high bytes
                     are 127 is empty; heights v / 65535 times the scale */
  BW_FLOAT32 = 2, /* normal components as they are (renormalised); a texel whose three
                     components are all within 1e-7 of 0 is empty; heights times the scale */
  BW_INT16 = 3,   /* the value types of result levels beside BW_UINT8 and BW_UINT16, never */
  BW_UINT32 = 4   /* of images in memory given to a run */
};

/* An image in memory: `channels` values of `type` a texel (1 grey, 2 grey and alpha, 3 colour,
 * 4 colour and alpha; normal maps need 3 or 4; a height is the grey value, or blue), rows
 * `stride_bytes` apart (0: packed), 16- and 32-bit values in the machine's byte order. With
 * top_first the first row is the top of the picture (as most image libraries give it), else the
 * bottom (as Targa files store it). Colour texels are red, green, blue[, alpha], or with
 * bgr_order blue, green, red[, alpha] as in Targa files. At most 65535 texels each way. */
typedef struct bw_image {
  const void *texels;
  int type;
  int width;
  int height;
  int channels;
  ptrdiff_t stride_bytes;
  int top_first;
  int bgr_order;
} bw_image;

/* Runs the job on two images in memory and keeps the result levels in the job, in its output
 * encoding, until the next run or bw_job_free. The levels are the bytes the file run writes. */
BW_API int bw_run_images(bw_job *job, const bw_image *base, const bw_image *second);
/* Checks an image in memory before it is handed to a run, for callers whose memory comes with a
 * length (the WebAssembly module's typed arrays): its layout as a run takes it (a known type, 1
 * to 4 channels, at most 65535 texels each way, rows at least a row apart) and that the `bytes`
 * bytes from texels hold all its rows; texels itself is not read. BW_OK, else
 * BW_ERROR_ARGUMENT with a message naming what is wrong and the image by `name` (NULL: "image"). */
BW_API int bw_job_check_image(bw_job *job, const bw_image *image, const char *name, uint64_t bytes);
/* One input of bw_run_inputs: the file `name`, or, when `image` is not NULL, that image in
 * memory, which `name` then only names in messages (NULL: as bw_run_images names it). */
typedef struct bw_input {
  const char *name;
  const bw_image *image;
} bw_input;
/* Runs the job on two inputs, each a file or an image in memory: with an output name, into the
 * files bw_run_files writes for it (the container follows the name, as on the command line);
 * with output NULL, into result levels in memory as bw_run_images keeps them. */
BW_API int bw_run_inputs(bw_job *job, const bw_input *base, const bw_input *second, const char *output);
/* Number of levels the last bw_run_images made (0 after a failure). */
BW_API int bw_result_count(const bw_job *job);
/* Level `level` of the last bw_run_images: the whole file's bytes (*size of them) and its size
 * in texels; *header_bytes bytes of file header come before the texels (18 for Targa, 13 for
 * .kep), which are stored bottom row first. Any pointer argument may be NULL. NULL when there is
 * no such level. */
BW_API const unsigned char *bw_result_level(const bw_job *job, int level, int *width, int *height,
                                            size_t *size, size_t *header_bytes);

/* The texels of result level `level` as an image: width x height texels of *channels values of
 * *type each, in the machine's byte order. Targa levels: 3 or 4 BW_UINT8 values (colour and
 * alpha); .kep levels: their texel words, h 2 BW_INT16, H 4 BW_INT16, i 1 BW_UINT32 (x in bits
 * 31-22, y 21-12, z 11-2), s and S 4 BW_UINT16. With the option --bits=16: x, y, z as 3
 * BW_UINT16 (the values of a 16-bit PNG file); --bits=32: x, y, z as 3 BW_FLOAT32 (the floats of
 * a .exr file); such levels have no header in bw_result_level. Any pointer may be NULL. BW_OK, or
 * BW_ERROR_ARGUMENT when there is no such level. */
BW_API int bw_result_layout(const bw_job *job, int level, int *width, int *height, int *channels,
                            int *type);
/* Copies the texels of result level `level` (see bw_result_layout) into `texels`, rows
 * stride_bytes apart (0: packed): with top_first the top row first (as most image libraries
 * keep them), else the bottom row first (as stored); Targa colour texels red first, or with
 * bgr_order blue first (as stored). The job's threads share the rows. BW_OK, or
 * BW_ERROR_ARGUMENT when there is no such level, texels is NULL or the stride is shorter than a
 * row. */
BW_API int bw_result_copy(const bw_job *job, int level, void *texels, ptrdiff_t stride_bytes, int top_first,
                          int bgr_order);

/* With the option --stats, the angle error of each level the last run wrote: bw_stats_count
 * levels (0 without --stats or after a failure), level 0 first. For level `level`, the mean,
 * the 99th percentile and the largest angle in degrees between the normal a reader of the output
 * decodes (z rebuilt for the two-component layouts) and the float normal it was encoded from;
 * empty texels are left out. Any pointer may be NULL. BW_OK, or BW_ERROR_ARGUMENT when there is
 * no such level. */
BW_API int bw_stats_count(const bw_job *job);
BW_API int bw_stats_level(const bw_job *job, int level, double *mean, double *p99, double *max);

/* The message of the last failure, "" when the last run succeeded. */
BW_API const char *bw_job_error(const bw_job *job);
/* The sample maps the tool ships instead of art, made by formula: bw_sample_size() x
 * bw_sample_size() texels (512) of red, green and blue bytes, the bottom row first, into `rgb`.
 * `which`: 0 a base normal map (domes, with an empty patch), 1 a detail normal map (ripples), 2 a
 * height map of rings (grey: three equal bytes). BW_OK, or BW_ERROR_ARGUMENT. */
BW_API int bw_sample_size(void);
BW_API int bw_sample_map(int which, unsigned char *rgb);

/* The status code of the last call on the job that can fail (BW_OK after a success). */
BW_API int bw_job_status(const bw_job *job);

/* Asset trees (not in the WebAssembly module). A tree is the plan of a manifest: its rules pair
 * the files found under its roots into jobs, each a command line (see README, "Asset trees"), and
 * its records, in the output root, say which jobs are up to date: those whose outputs are the
 * files recorded and whose inputs' contents, settings and tool version are unchanged. A caller
 * runs the other jobs (bw_job_set_command and bw_run_command) and records each that succeeded.
 * The functions of one tree are called from one thread at a time (the jobs may run anywhere).
 *
 *   bw_tree *tree = bw_tree_plan("tree.toml");
 *   if (!tree || bw_tree_error(tree)[0]) ...;           (the fault, or every problem a line)
 *   bw_tree_make_folders(tree);
 *   for (int i = 0; i < bw_tree_job_count(tree); ++i)
 *     if (!bw_tree_up_to_date(tree, i)) { run job i; bw_tree_record(tree, i, count, names); }
 *   bw_tree_finish(tree);
 *   bw_tree_free(tree);
 */
typedef struct bw_tree bw_tree;
/* Reads the manifest and plans its tree. NULL only when memory is short; a manifest that cannot
 * be read, or a plan with problems, gives a tree without jobs whose bw_tree_error says why. */
BW_API bw_tree *bw_tree_plan(const char *manifest);
/* Writes the records not written yet and frees the tree. */
BW_API void bw_tree_free(bw_tree *tree);
/* "" for a tree that can run; else the manifest's fault or every problem, one a line. */
BW_API const char *bw_tree_error(const bw_tree *tree);
BW_API int bw_tree_job_count(const bw_tree *tree);
/* The words of job `job`'s command line (without the program name), and the same as the line of
 * a batch file that reads back as them. */
BW_API int bw_tree_word_count(const bw_tree *tree, int job);
BW_API const char *bw_tree_word(const bw_tree *tree, int job, int word);
BW_API const char *bw_tree_line(const bw_tree *tree, int job);
/* Makes the folders of the outputs: BW_OK, or BW_ERROR_WRITE with bw_tree_error naming one. */
BW_API int bw_tree_make_folders(bw_tree *tree);
/* 1 when the job is up to date (its files are then bw_tree_output), 0 when it must run. Call it
 * before running the job: it hashes the inputs as they are then, for bw_tree_record. */
BW_API int bw_tree_up_to_date(bw_tree *tree, int job);
BW_API int bw_tree_output_count(const bw_tree *tree, int job);
BW_API const char *bw_tree_output(const bw_tree *tree, int job, int index);
/* Records that the job, run after bw_tree_up_to_date, wrote these files (bw_output_name). */
BW_API int bw_tree_record(bw_tree *tree, int job, int count, const char *const *outputs);
/* Writes the records not written yet; returns the records' warnings so far, one a line ("" : none;
 * a damaged database, one that could not be written). */
BW_API const char *bw_tree_finish(bw_tree *tree);

#ifdef __cplusplus
}
#endif

#endif
