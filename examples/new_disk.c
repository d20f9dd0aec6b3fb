/* A new disk as an emulator's "new disk" dialog makes one: 64 MiB,
 * partitioned and formatted FAT16, through libblankimg, with the files
 * and directories given copied onto it.
 *   cc new_disk.c $(pkg-config --cflags --libs blankimg) -o new_disk
 *   ./new_disk disk.img [FILE...] */
#include <blankimg/blankimg.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s IMAGE [FILE...]\n", argv[0]);
    return 2;
  }
  void *work = malloc(blankimg_work_size());
  blankimg_create_request request = {0};
  request.path = argv[1];
  request.size = (uint64_t)64 << 20;
  request.fat = BLANKIMG_FAT_BY_SIZE;
  request.label = "GAMES";
  blankimg_error error = work != NULL ? blankimg_create(&request, work, blankimg_work_size())
                                      : BLANKIMG_ERROR_WORK_TOO_SMALL;
  if (error == BLANKIMG_OK && argc > 2) {
    blankimg_add_request files = {0};
    files.image = argv[1];
    files.paths = (const char *const *)(argv + 2);
    files.path_count = (size_t)(argc - 2);
    error = blankimg_add_files(&files, work, blankimg_work_size());
  }
  blankimg_info info;
  if (error == BLANKIMG_OK)
    error = blankimg_inspect(argv[1], &info, work, blankimg_work_size());
  free(work);
  if (error != BLANKIMG_OK) {
    fprintf(stderr, "%s: %s\n", argv[1], blankimg_strerror(error));
    return 1;
  }
  printf("%s: FAT%d volume \"%s\" at byte %llu, blankimg %s\n", argv[1], info.volumes[0].fat,
         info.volumes[0].label, (unsigned long long)info.volumes[0].offset, blankimg_version());
  return 0;
}
