// A library to preload (LD_PRELOAD) into a run so that fsync and fdatasync return at once
// without syncing anything. The benchmark times the same command with and without it to learn
// what syncing the outputs before they are put in place costs. Never for real use: a crash
// after such a run can leave outputs that were reported written but never reached the disk.

// Declared here rather than through <unistd.h>, whose declarations carry attributes that would
// have to be matched exactly; the C signatures are what the dynamic linker binds to.
extern "C" int fsync(int fd) {
  (void)fd;
  return 0;
}

extern "C" int fdatasync(int fd) {
  (void)fd;
  return 0;
}
