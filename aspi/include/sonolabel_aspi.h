/*
 * The request blocks and entry points of an ASPI layer: a shared library,
 * loaded at run time, through which the program sends SCSI commands to
 * CD-ROM drives. Both layers we build (real drives through SG_IO, simulated
 * drives from a file) and the program that loads them share this header.
 *
 * Blocks are plain little-endian records. The caller zero-fills a block,
 * sets the fields it needs and passes its address to SendASPI32Command.
 * Pointer-sized fields (data buffer, completion handle, request to abort)
 * have the native pointer width, so the blocks are larger on 64-bit builds;
 * the offsets the program and the layers rely on are checked below.
 *
 * Completion signalling: a caller that wants to be woken creates a Linux
 * eventfd, stores the descriptor in the execute block's `post` field and
 * sets SL_ASPI_FLAG_POST. The layer writes 1 to that eventfd once the request
 * has finished (status no longer SL_ASPI_STATUS_PENDING). A layer may also
 * finish a request inside SendASPI32Command and return its final status
 * directly; then the caller must not wait.
 *
 * Abort: once an abort request returns SL_ASPI_STATUS_COMPLETED, the layer
 * no longer touches the aborted block, its data buffer or its eventfd, so the
 * caller may release them. After a failed abort the caller must keep all
 * three alive for as long as the layer is loaded.
 */
#ifndef SONOLABEL_ASPI_H
#define SONOLABEL_ASPI_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Request codes (first byte of every block). */
enum { SL_ASPI_CMD_GET_DEVICE_TYPE = 1, SL_ASPI_CMD_EXECUTE_SCSI = 2, SL_ASPI_CMD_ABORT = 3 };

/* Request status (second byte of every block; also SendASPI32Command's result). */
enum {
  SL_ASPI_STATUS_PENDING = 0x00,   /* still running */
  SL_ASPI_STATUS_COMPLETED = 0x01, /* finished without error */
  SL_ASPI_STATUS_ABORTED = 0x02,   /* ended by an abort request */
  SL_ASPI_STATUS_ERROR = 0x04,     /* could not be carried out */
  SL_ASPI_STATUS_INVALID_REQUEST = 0x80,
  SL_ASPI_STATUS_INVALID_ADAPTER = 0x81,
  SL_ASPI_STATUS_NO_DEVICE = 0x82,
  SL_ASPI_STATUS_ABORT_FAILED = 0x83
};

/* Flags of the execute block. */
enum {
  SL_ASPI_FLAG_DATA_IN = 0x08, /* the device sends data into the buffer */
  SL_ASPI_FLAG_POST = 0x40     /* signal the eventfd in `post` on completion */
};

/* Host adapter status of the execute block. */
enum { SL_ASPI_HOST_OK = 0x00, SL_ASPI_HOST_TIMEOUT = 0x09, SL_ASPI_HOST_ERROR = 0x1F };

/* SCSI status bytes the program looks at (target status field). */
enum { SL_SCSI_STATUS_GOOD = 0x00, SL_SCSI_STATUS_CHECK_CONDITION = 0x02, SL_SCSI_STATUS_BUSY = 0x08 };

/* Peripheral device type of a CD-ROM drive. */
enum { SL_SCSI_TYPE_CDROM = 5 };

/* GetASPI32SupportInfo: bits 8-15 status (1 = usable), bits 0-7 adapters. */
#define SL_ASPI_SUPPORT_STATUS(v) (((v) >> 8) & 0xFFu)
#define SL_ASPI_SUPPORT_ADAPTERS(v) ((v)&0xFFu)

#define SL_ASPI_SENSE_SIZE 16
#define SL_ASPI_CDB_SIZE 16

/* Get device type: 12 bytes on every build. */
typedef struct SlAspiDeviceTypeBlock {
  uint8_t command; /* SL_ASPI_CMD_GET_DEVICE_TYPE */
  uint8_t status;  /* out */
  uint8_t hostAdapter;
  uint8_t flags; /* 0 */
  uint32_t reserved1;
  uint8_t target;
  uint8_t lun;
  uint8_t deviceType; /* out: peripheral device type */
  uint8_t reserved2;
} SlAspiDeviceTypeBlock;

/* Execute one SCSI command. */
typedef struct SlAspiExecBlock {
  uint8_t command; /* SL_ASPI_CMD_EXECUTE_SCSI */
  uint8_t status;  /* out: SL_ASPI_STATUS_PENDING while running */
  uint8_t hostAdapter;
  uint8_t flags; /* SL_ASPI_FLAG_DATA_IN, SL_ASPI_FLAG_POST */
  uint32_t reserved1;
  uint8_t target;
  uint8_t lun;
  uint16_t reserved2;
  uint32_t bufferLength; /* bytes of `buffer` the device may fill */
  uint8_t* buffer;       /* data buffer */
  uint8_t senseLength;   /* bytes of sense data wanted (at most 16) */
  uint8_t cdbLength;     /* 6, 10, 12 or 16 */
  uint8_t hostStatus;    /* out */
  uint8_t targetStatus;  /* out: SCSI status byte */
#if UINTPTR_MAX > 0xFFFFFFFFu
  uint8_t alignPost[4]; /* keeps `post` on its natural boundary */
#endif
  uintptr_t post; /* eventfd descriptor when SL_ASPI_FLAG_POST is set */
  uint8_t reserved3[20];
  uint8_t cdb[SL_ASPI_CDB_SIZE];
  uint8_t sense[SL_ASPI_SENSE_SIZE]; /* out */
} SlAspiExecBlock;

/* Abort a running execute request. */
typedef struct SlAspiAbortBlock {
  uint8_t command; /* SL_ASPI_CMD_ABORT */
  uint8_t status;  /* out */
  uint8_t hostAdapter;
  uint8_t flags; /* 0 */
  uint32_t reserved1;
  void* request; /* the SlAspiExecBlock to abort */
} SlAspiAbortBlock;

/* The fields every block starts with, for dispatching on `command`. */
typedef struct SlAspiHeader {
  uint8_t command;
  uint8_t status;
  uint8_t hostAdapter;
  uint8_t flags;
} SlAspiHeader;

uint32_t GetASPI32SupportInfo(void);
uint32_t SendASPI32Command(void* block);

/* Optional: device nodes the layer could not open, one "path<TAB>errno" line
   each, or "path<TAB>errno<TAB>adapter:target:lun" when the node belongs to
   a drive the layer reports, written NUL-terminated into buffer (at most
   size bytes, cut if needed). Returns the length of the whole text. A layer
   without the entry point has nothing to report. */
uint32_t SlAspiDeviceProblems(char* buffer, uint32_t size);

typedef uint32_t (*SlAspiSupportInfoFn)(void);
typedef uint32_t (*SlAspiSendCommandFn)(void*);
typedef uint32_t (*SlAspiDeviceProblemsFn)(char*, uint32_t);

#ifdef __cplusplus
} /* extern "C" */

static_assert(sizeof(SlAspiDeviceTypeBlock) == 12, "device type block is 12 bytes");
static_assert(offsetof(SlAspiDeviceTypeBlock, target) == 8, "");
static_assert(offsetof(SlAspiDeviceTypeBlock, deviceType) == 10, "");

static_assert(offsetof(SlAspiExecBlock, target) == 8, "");
static_assert(offsetof(SlAspiExecBlock, lun) == 9, "");
static_assert(offsetof(SlAspiExecBlock, bufferLength) == 12, "");
static_assert(offsetof(SlAspiExecBlock, buffer) == 16, "");
static_assert(offsetof(SlAspiExecBlock, senseLength) == 16 + sizeof(void*), "");
static_assert(offsetof(SlAspiExecBlock, targetStatus) == 19 + sizeof(void*), "");
static_assert(offsetof(SlAspiExecBlock, post) == (sizeof(void*) == 8 ? 32 : 24), "");
static_assert(offsetof(SlAspiExecBlock, cdb) == offsetof(SlAspiExecBlock, post) + sizeof(void*) + 20, "");
static_assert(offsetof(SlAspiExecBlock, sense) == offsetof(SlAspiExecBlock, cdb) + 16, "");
static_assert(sizeof(void*) != 4 || sizeof(SlAspiExecBlock) == 80, "80 bytes on 32-bit builds");

static_assert(offsetof(SlAspiAbortBlock, request) == 8, "");
static_assert(sizeof(void*) != 4 || sizeof(SlAspiAbortBlock) == 12, "12 bytes on 32-bit builds");
#endif

#endif /* SONOLABEL_ASPI_H */
