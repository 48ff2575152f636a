/* The reader SDK as the service uses it: the functions of libzkfp it imports by name and the
   parameter codes it reads and writes. The vendor's library and the simulated reader both
   export exactly these symbols; whichever is found as libzkfp at start-up is the reader.

   Every integer result is a signed 32-bit code, 0 meaning success, unless noted; handles are
   opaque and null on failure. The SDK may be called from any thread, but calls on one reader
   handle must not overlap (the service serialises them). */
#ifndef TOBRAN_READER_ZKFP_H
#define TOBRAN_READER_ZKFP_H

#ifdef _WIN32
#define ZKFP_API __stdcall
#else
#define ZKFP_API
#endif

#if defined(_WIN32) && defined(ZKFP_BUILDING_LIBRARY)
#define ZKFP_EXPORT __declspec(dllexport)
#elif defined(ZKFP_BUILDING_LIBRARY)
#define ZKFP_EXPORT __attribute__((visibility("default")))
#else
#define ZKFP_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef void* ZKFP_HANDLE;

/* Parameter codes. */
enum {
  ZKFP_PARAM_IMAGE_WIDTH = 1,      /* read: image width in pixels, 32-bit integer */
  ZKFP_PARAM_IMAGE_HEIGHT = 2,     /* read: image height in pixels, 32-bit integer */
  ZKFP_PARAM_SERIAL_NUMBER = 1103, /* read: serial number text, up to 64 bytes */
  ZKFP_PARAM_ANTI_FAKE = 2002,     /* write: anti-fake check, 32-bit integer, 1 on, 0 off */
  ZKFP_PARAM_FAKE_STATUS = 2004    /* read: anti-fake result of the last capture, 32-bit integer;
                                      a live finger has all five lowest bits set */
};

/* Every function the service binds, one X(result, name, parameters) each, in one list: the
   declarations below are made from it, and so is the diagnosis tool's check that a library
   exports them all. */
#define ZKFP_FUNCTIONS(X)                                                                         \
  /* 0 once the SDK is ready. */                                                                  \
  X(int, ZKFPM_Init, (void))                                                                      \
  X(int, ZKFPM_Terminate, (void))                                                                 \
  /* The reader with the given index (0 is the first), or null when none could be opened. */      \
  X(ZKFP_HANDLE, ZKFPM_OpenDevice, (int index))                                                   \
  X(int, ZKFPM_CloseDevice, (ZKFP_HANDLE device))                                                 \
  /* A fingerprint cache for matching and merging, or null on failure. */                         \
  X(ZKFP_HANDLE, ZKFPM_DBInit, (void))                                                            \
  X(int, ZKFPM_SetParameters,                                                                     \
    (ZKFP_HANDLE device, int code, unsigned char* value, unsigned int size))                      \
  /* `size` holds the buffer size on entry and the bytes written on return. */                    \
  X(int, ZKFPM_GetParameters,                                                                     \
    (ZKFP_HANDLE device, int code, unsigned char* value, unsigned int* size))                     \
  /* 0 when a finger was captured: the image went to `image`, the template to `templ`, and        \
     `*templateLength` (the buffer size on entry) holds its length. Anything else: no finger. */  \
  X(int, ZKFPM_AcquireFingerprint,                                                                \
    (ZKFP_HANDLE device, unsigned char* image, unsigned int imageSize, unsigned char* templ,      \
     unsigned int* templateLength))                                                               \
  /* A score; greater than 0 when both templates come from the same finger. */                    \
  X(int, ZKFPM_DBMatch,                                                                           \
    (ZKFP_HANDLE cache, unsigned char* first, unsigned int firstLength, unsigned char* second,    \
     unsigned int secondLength))                                                                  \
  /* 0 when `merged` holds one template made from the three; `*mergedLength` holds the buffer     \
     size on entry and the merged length on return. */                                            \
  X(int, ZKFPM_DBMerge,                                                                           \
    (ZKFP_HANDLE cache, unsigned char* first, unsigned char* second, unsigned char* third,        \
     unsigned char* merged, unsigned int* mergedLength))                                          \
  /* Writes the zero-terminated base64 text of `length` bytes into `text` of `textSize` bytes. */ \
  X(int, ZKFPM_BlobToBase64,                                                                      \
    (unsigned char* blob, unsigned int length, char* text, unsigned int textSize))

#define ZKFP_DECLARE_FUNCTION(result, name, parameters) ZKFP_EXPORT result ZKFP_API name parameters;
ZKFP_FUNCTIONS(ZKFP_DECLARE_FUNCTION)
#undef ZKFP_DECLARE_FUNCTION

#ifdef __cplusplus
}
#endif

#endif
