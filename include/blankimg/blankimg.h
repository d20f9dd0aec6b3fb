/* libblankimg: blank, formatted and copied disk images in blankimg's
 * block-mapped format, for an emulator's "new disk" dialog and for tools.
 *
 * Every call is synchronous and keeps no state between calls: the caller
 * gives each job its working memory (blankimg_work_size() bytes, any
 * alignment), so the library never allocates and may run several jobs at
 * once on separate memory. Results are returned, never printed. */
#ifndef BLANKIMG_BLANKIMG_H
#define BLANKIMG_BLANKIMG_H

#include <stddef.h>
#include <stdint.h>

#define BLANKIMG_VERSION_MAJOR 1
#define BLANKIMG_VERSION_MINOR 2
#define BLANKIMG_VERSION_PATCH 0
#define BLANKIMG_VERSION_STRING "1.2.0"

#if defined(_WIN32) && !defined(BLANKIMG_STATIC)
#if defined(BLANKIMG_BUILDING)
#define BLANKIMG_API __declspec(dllexport)
#else
#define BLANKIMG_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define BLANKIMG_API __attribute__((visibility("default")))
#else
#define BLANKIMG_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef enum blankimg_error {
  BLANKIMG_OK = 0,
  BLANKIMG_ERROR_ARGUMENT,         /* a request that names no job: a null path, an unknown value */
  BLANKIMG_ERROR_WORK_TOO_SMALL,   /* less working memory than blankimg_work_size() */
  BLANKIMG_ERROR_BLOCKSIZE,        /* no block size the format can hold */
  BLANKIMG_ERROR_GEOMETRY,         /* a count of 0, a sector too long, or no BIOS geometry */
  BLANKIMG_ERROR_SIZE,             /* no size, no such floppy, or an empty raw disk */
  BLANKIMG_ERROR_TOO_LARGE,        /* more than the format, or a file, can hold */
  BLANKIMG_ERROR_LABEL,            /* not a FAT volume label */
  BLANKIMG_ERROR_FAT_DOES_NOT_FIT, /* the FAT type asked for cannot hold the volume */
  BLANKIMG_ERROR_OPEN_DEST,        /* the image or raw file to write could not be had */
  BLANKIMG_ERROR_OPEN_RAW,         /* the raw disk is missing, unreadable, in use or no raw disk */
  BLANKIMG_ERROR_WRITE,
  BLANKIMG_ERROR_OPEN_IMAGE, /* the image to read is missing, unreadable or in use */
  BLANKIMG_ERROR_NOT_AN_IMAGE,
  BLANKIMG_ERROR_READ,           /* a read failed, or the file changed while it was read */
  BLANKIMG_ERROR_OUT_OF_MEMORY,  /* a block map in no order, too large to sort */
  BLANKIMG_ERROR_DAMAGED,        /* the image is damaged: its findings say how */
  BLANKIMG_ERROR_INTERRUPTED,    /* a stop signal came; what was made was given back */
  BLANKIMG_ERROR_NO_FAT_VOLUME,  /* the image, or the volume asked for, holds no FAT file system */
  BLANKIMG_ERROR_DAMAGED_VOLUME, /* the volume's chains or directories are broken */
  BLANKIMG_ERROR_CANT_ADD,       /* a path or name refused, before anything was written */
  BLANKIMG_ERROR_NO_ROOM,        /* the volume has not the room for the files */
  BLANKIMG_ERROR_ROOT_FULL,      /* a FAT12 or FAT16 root directory would overflow */
  BLANKIMG_ERROR_CANT_EXTRACT    /* a file to write out exists or could not be written */
} blankimg_error;

/* How an image's data area, or a raw file, gets its zeros. */
typedef enum blankimg_preallocation {
  BLANKIMG_PREALLOCATION_FALLOC = 0, /* space reserved, nothing written */
  BLANKIMG_PREALLOCATION_OFF = 1,    /* a hole; a copy's default in the tool */
  BLANKIMG_PREALLOCATION_FULL = 2    /* every zero written */
} blankimg_preallocation;

typedef enum blankimg_fat {
  BLANKIMG_FAT_NONE = 0,    /* blank */
  BLANKIMG_FAT_BY_SIZE = 1, /* FAT12, 16 or 32 by the volume's size */
  BLANKIMG_FAT_12 = 12,
  BLANKIMG_FAT_16 = 16,
  BLANKIMG_FAT_32 = 32
} blankimg_fat;

typedef enum blankimg_partitioning {
  BLANKIMG_PARTITION_AS_THE_DISK_HAS = 0, /* an MBR on a hard disk, none on a floppy */
  BLANKIMG_PARTITION_MBR = 1,
  BLANKIMG_PARTITION_NONE = 2
} blankimg_partitioning;

typedef struct blankimg_geometry {
  uint64_t cylinders;
  uint32_t heads;
  uint32_t sectors_per_track;
  uint32_t bytes_per_sector;
} blankimg_geometry;

/* Called as the work goes on, with the bytes done of the total; and once
 * at the end, complete or not. Either may be null. */
typedef struct blankimg_progress {
  void (*report)(void *context, uint64_t done, uint64_t total);
  void (*finish)(void *context, int complete);
  void *context;
} blankimg_progress;

/* A new image. The disk is the first of these given: a floppy by name, a
 * size in bytes, a geometry with every count set, or, with from_raw and
 * none of them, the raw disk's own. A request of all zeros but its path and
 * one of those is a blank disk with the defaults. */
typedef struct blankimg_create_request {
  const char *path;
  const char *floppy;         /* "1.44M", "720K", ... or null */
  uint64_t size;              /* bytes, rounded up to cylinders of 16 heads, 63 sectors */
  uint32_t sector_size;       /* with size: 512 (or 0), 1024, 2048 or 4096 */
  blankimg_geometry geometry; /* where neither floppy nor size is given */
  uint32_t blocksize;         /* sectors per block; 0: one track */
  blankimg_preallocation preallocation;
  blankimg_fat fat;
  blankimg_partitioning partitioning; /* with fat */
  const char *label;                  /* with fat: the volume's label, or null for NO NAME */
  uint64_t made_at;     /* with fat: seconds since 1970, for its serial number and dates */
  const char *from_raw; /* a raw disk whose bytes the disk starts with, or null */
  int no_clobber;       /* never replace an existing file */
  int sync;             /* reach stable storage before returning */
  blankimg_progress progress;
} blankimg_create_request;

typedef struct blankimg_to_raw_request {
  const char *image;
  const char *raw;
  blankimg_preallocation preallocation;
  int no_clobber;
  int sync;
  blankimg_progress progress;
} blankimg_to_raw_request;

/* What is wrong with an image, as blankimg --info lists it. */
typedef enum blankimg_finding_kind {
  BLANKIMG_FINDING_HEADER_LENGTH = 0,
  BLANKIMG_FINDING_BLOCKSIZE,
  BLANKIMG_FINDING_ZERO_GEOMETRY,
  BLANKIMG_FINDING_DISK_TOO_LARGE,
  BLANKIMG_FINDING_BLOCK_COUNT,
  BLANKIMG_FINDING_TOO_SHORT,
  BLANKIMG_FINDING_MARKER,
  BLANKIMG_FINDING_ENTRY_IN_LAYOUT, /* from here on, each names a block */
  BLANKIMG_FINDING_ENTRY_PAST_END,
  BLANKIMG_FINDING_ENTRY_TOO_LONG,
  BLANKIMG_FINDING_ENTRY_EMPTY,
  BLANKIMG_FINDING_ENTRY_OVERLAPS /* with the block other */
} blankimg_finding_kind;

typedef struct blankimg_finding {
  blankimg_finding_kind kind;
  uint32_t block;
  uint32_t other;
} blankimg_finding;

#define BLANKIMG_MAX_FINDINGS 10
#define BLANKIMG_MAX_VOLUMES 4

typedef struct blankimg_volume {
  uint64_t start_sector;
  uint64_t sectors;
  int in_partition_table; /* with a type and an active flag */
  uint8_t type;
  int active;
  int fat;        /* 12, 16 or 32; 0 for no FAT file system */
  char label[12]; /* with fat: the boot sector's label, NUL-terminated */
  int contiguous; /* one run of the image file, from offset on */
  uint64_t offset;
} blankimg_volume;

typedef struct blankimg_info {
  blankimg_geometry geometry;
  uint32_t blocksize;
  uint32_t block_count;
  uint64_t file_size;
  uint64_t disk_usage;  /* bytes of disk space the file takes */
  uint64_t data_offset; /* where the disk's first byte is in the file */
  int as_created;       /* laid out exactly as blankimg creates images */
  uint64_t finding_count;
  size_t listed_findings; /* the first ones, at most BLANKIMG_MAX_FINDINGS */
  blankimg_finding findings[BLANKIMG_MAX_FINDINGS];
  size_t volume_count;
  blankimg_volume volumes[BLANKIMG_MAX_VOLUMES];
} blankimg_info;

/* The working memory each job needs. */
BLANKIMG_API size_t blankimg_work_size(void);

/* Creates the image; on failure nothing of it is left but an empty or
 * shortened file where one had to be cut. */
BLANKIMG_API blankimg_error blankimg_create(const blankimg_create_request *request, void *work,
                                            size_t work_size);

/* Reads and checks an image: BLANKIMG_OK where it is intact,
 * BLANKIMG_ERROR_DAMAGED (with info filled) where it is not. */
BLANKIMG_API blankimg_error blankimg_inspect(const char *path, blankimg_info *info, void *work,
                                             size_t work_size);

/* Writes an intact image's disk to a raw file. */
BLANKIMG_API blankimg_error blankimg_to_raw(const blankimg_to_raw_request *request, void *work,
                                            size_t work_size);

/* Files into an image's FAT volume, each path copied into its root as
 * cp -r copies it ("DIR/." for what DIR holds); everything is checked and
 * counted before anything is written. */
typedef struct blankimg_add_request {
  const char *image;
  unsigned volume; /* as blankimg --info numbers them; 0: the first FAT volume */
  const char *const *paths;
  size_t path_count;
  int force;       /* replace files that exist on the volume */
  uint64_t latest; /* later file times are kept as this; 0: none */
} blankimg_add_request;

BLANKIMG_API blankimg_error blankimg_add_files(const blankimg_add_request *request, void *work,
                                               size_t work_size);

/* Every file and directory of the volume into directory, made if missing;
 * a file there already is refused unless force. */
BLANKIMG_API blankimg_error blankimg_extract_files(const char *image, unsigned volume,
                                                   const char *directory, int force, void *work,
                                                   size_t work_size);

/* One file or directory of a volume, as blankimg --list shows it; the
 * strings last for the call alone. */
typedef struct blankimg_file {
  const char *path; /* from the root, "/" between names, UTF-8 */
  const char *short_name;
  int directory;
  uint8_t attributes; /* FAT's: 0x01 read-only, 0x02 hidden, 0x04 system, 0x10 directory, 0x20
                         archive */
  uint32_t size;
  uint16_t fat_date; /* as the directory entry keeps them */
  uint16_t fat_time;
  uint32_t clusters;
} blankimg_file;

/* Calls take for every file and directory of the volume, a directory
 * before what it holds; take returns nonzero to go on. */
BLANKIMG_API blankimg_error blankimg_list_files(const char *image, unsigned volume,
                                                int (*take)(void *context,
                                                            const blankimg_file *file),
                                                void *context, void *work, size_t work_size);

/* A sentence for the error, never null. */
BLANKIMG_API const char *blankimg_strerror(blankimg_error error);

/* The library's version, as BLANKIMG_VERSION_STRING was when it was built. */
BLANKIMG_API const char *blankimg_version(void);

#ifdef __cplusplus
}
#endif

#endif
