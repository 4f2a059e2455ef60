/* Merges a detail normal map into a base normal map through the Bumpweld C library, once into
 * files and once in memory, and checks that both give the same bytes.
 *
 *   merge_maps FLAGS base.tga detail.tga out.tga
 */
#include <bumpweld/bumpweld.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The texels of an uncompressed 24-bit Targa file, bottom row first, blue, green, red. */
static unsigned char *read_targa(const char *name, bw_image *image) {
  unsigned char header[18];
  FILE *f = fopen(name, "rb");
  if (!f || fread(header, 1, 18, f) != 18 || header[2] != 2 || header[16] != 24) exit(1);
  image->width = header[12] | header[13] << 8;
  image->height = header[14] | header[15] << 8;
  image->type = BW_UINT8;
  image->channels = 3;
  image->stride_bytes = 0;
  image->top_first = 0;
  image->bgr_order = 1;
  size_t bytes = (size_t)image->width * image->height * 3;
  unsigned char *texels = malloc(bytes);
  if (!texels || fseek(f, header[0], SEEK_CUR) != 0 || fread(texels, 1, bytes, f) != bytes) exit(1);
  fclose(f);
  image->texels = texels;
  return texels;
}

int main(int argc, char **argv) {
  if (argc != 5) return 2;
  printf("bumpweld %s\n", bw_version());
  bw_job *job = bw_job_new();
  if (!job || bw_job_set_flags(job, argv[1]) != 0 || bw_run_files(job, argv[2], argv[3], argv[4]) != 0) {
    fprintf(stderr, "%s\n", job ? bw_job_error(job) : "out of memory");
    return 1;
  }
  bw_image base, detail;
  unsigned char *b = read_targa(argv[2], &base), *d = read_targa(argv[3], &detail);
  if (bw_run_images(job, &base, &detail) != 0) return 1;
  size_t size;
  const unsigned char *level = bw_result_level(job, 0, NULL, NULL, &size, NULL);
  FILE *f = fopen(argv[4], "rb");
  unsigned char *file = malloc(size + 1);
  int same = f && file && fread(file, 1, size + 1, f) == size && memcmp(file, level, size) == 0;
  printf("%d levels, in memory %s the file\n", bw_result_count(job), same ? "equals" : "DIFFERS FROM");
  free(file), free(b), free(d);
  if (f) fclose(f);
  bw_job_free(job);
  return same ? 0 : 1;
}
