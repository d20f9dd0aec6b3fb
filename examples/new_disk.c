/* A new disk as an emulator's "new disk" dialog makes one: 64 MiB,
 * partitioned and formatted FAT16, through libblankimg.
 *   cc new_disk.c $(pkg-config --cflags --libs blankimg) -o new_disk
 *   ./new_disk disk.img */
#include <blankimg/blankimg.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s IMAGE\n", argv[0]);
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
