// A growable byte buffer for the script runner.
#ifndef KYT_TEST_BYTE_BUFFER_H
#define KYT_TEST_BYTE_BUFFER_H

#include <cstddef>

struct ByteBuffer {
    unsigned char *data; // heap storage, zero-filled at creation
    size_t size;         // bytes allocated
    size_t length;       // bytes in use, never more than size
};

// A buffer of `size` zero-filled bytes, or null when memory runs out.
ByteBuffer *ByteBuffer_Create(size_t size);

// Appends `count` bytes.  When they do not fit, the storage first grows by
// `count` bytes.  Fails for a null buffer, null bytes or a count of 0.
bool ByteBuffer_Append(ByteBuffer *buffer, const unsigned char *bytes, size_t count);

// Enlarges the storage by `count` bytes.  On failure the old storage stays
// valid; running out of memory is reported on standard output.
bool ByteBuffer_Grow(ByteBuffer *buffer, size_t count);

void ByteBuffer_Destroy(ByteBuffer *buffer);

#endif
