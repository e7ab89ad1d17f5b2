/* The 64-bit Susie import-filter interface as a Linux shared object (*.spi)
 * exports it: C linkage, default visibility, no calling-convention keyword.
 * This header restates the published declarations so that the plug-ins we
 * ship build from their own sources alone. LocalAlloc and its companions are provided by
 * the host process (its plug-in bridge) and resolve when the plug-in loads. */
#ifndef VELMORA_SPI00IN_H
#define VELMORA_SPI00IN_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SPI_EXPORT __attribute__((visibility("default")))

/* Result codes. */
#define SPI_SUCCESS 0
#define SPI_NO_FUNCTION (-1)
#define SPI_ABORT 1
#define SPI_NOT_SUPPORT 2
#define SPI_OUT_OF_ORDER 3
#define SPI_NO_MEMORY 4
#define SPI_MEMORY_ERROR 5
#define SPI_FILE_READ_ERROR 6
#define SPI_OTHER_ERROR 8

/* flag & SPI_INPUT_MASK: where the picture comes from. */
#define SPI_INPUT_MASK 7u
#define SPI_INPUT_FILE 0u   /* buf: file name, len: offset of the picture in it */
#define SPI_INPUT_MEMORY 1u /* buf: the file's bytes, len: their count */

#pragma pack(push, 1)
struct PictureInfo {
    int32_t left, top;
    int32_t width, height;
    uint16_t x_density, y_density;
    int16_t colorDepth;
    void* hInfo;
};
#pragma pack(pop)

typedef struct SpiBitmapInfoHeader {
    uint32_t biSize;
    int32_t biWidth;
    int32_t biHeight;
    uint16_t biPlanes;
    uint16_t biBitCount;
    uint32_t biCompression;
    uint32_t biSizeImage;
    int32_t biXPelsPerMeter;
    int32_t biYPelsPerMeter;
    uint32_t biClrUsed;
    uint32_t biClrImportant;
} SpiBitmapInfoHeader;

#define SPI_BI_RGB 0u

typedef int (*SPI_PROGRESS)(int nNum, int nDenom, intptr_t lData);

/* Local memory of the host. */
#define LMEM_FIXED 0x0000u
#define LMEM_MOVEABLE 0x0002u
#define LMEM_ZEROINIT 0x0040u
void* LocalAlloc(unsigned int uFlags, size_t uBytes);
void* LocalLock(void* hMem);
int LocalUnlock(void* hMem);
void* LocalFree(void* hMem);

SPI_EXPORT int GetPluginInfo(int infono, char* buf, int buflen);
SPI_EXPORT int IsSupported(const char* filename, void* dw);
SPI_EXPORT int GetPictureInfo(const char* buf, intptr_t len, unsigned int flag,
                              struct PictureInfo* lpInfo);
SPI_EXPORT int GetPicture(const char* buf, intptr_t len, unsigned int flag, void** pHBInfo,
                          void** pHBm, SPI_PROGRESS progressCallback, intptr_t lData);

#ifdef __cplusplus
}
#endif

#endif
