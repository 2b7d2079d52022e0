#include "byte_buffer.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "messages.h"

ByteBuffer *ByteBuffer_Create(size_t size)
{
    ByteBuffer *buffer = static_cast<ByteBuffer *>(malloc(sizeof(ByteBuffer)));
    if (buffer == nullptr)
        return nullptr;
    buffer->data = static_cast<unsigned char *>(calloc(size, 1));
    if (buffer->data == nullptr) {
        free(buffer);
        return nullptr;
    }
    buffer->size = size;
    buffer->length = 0;
    return buffer;
}

bool ByteBuffer_Grow(ByteBuffer *buffer, size_t count)
{
    if (buffer == nullptr || count == 0)
        return false;
    if (count > SIZE_MAX - buffer->size) {
        puts(kMsgNoMemory);
        return false;
    }
    size_t newSize = buffer->size + count;
    unsigned char *data = static_cast<unsigned char *>(realloc(buffer->data, newSize));
    if (data == nullptr) {
        puts(kMsgNoMemory);
        return false;
    }
    buffer->data = data;
    buffer->size = newSize;
    return true;
}

bool ByteBuffer_Append(ByteBuffer *buffer, const unsigned char *bytes, size_t count)
{
    if (buffer == nullptr || bytes == nullptr || count == 0)
        return false;
    if (count > buffer->size - buffer->length && !ByteBuffer_Grow(buffer, count))
        return false;
    memcpy(buffer->data + buffer->length, bytes, count);
    buffer->length += count;
    return true;
}

void ByteBuffer_Destroy(ByteBuffer *buffer)
{
    if (buffer == nullptr)
        return;
    free(buffer->data);
    free(buffer);
}
