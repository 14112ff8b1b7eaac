// NPT_DataBuffer: owned or borrowed byte storage with a count of valid bytes.

#include "NptDataBuffer.h"

#include <cstring>
#include <new>

NPT_DataBuffer::NPT_DataBuffer() : m_BufferIsLocal(true), m_Buffer(nullptr), m_BufferSize(0), m_DataSize(0) {}

NPT_DataBuffer::NPT_DataBuffer(NPT_Size capacity)
    : m_BufferIsLocal(true), m_Buffer(nullptr), m_BufferSize(0), m_DataSize(0) {
  if (capacity == 0) return;
  m_Buffer = new (std::nothrow) NPT_Byte[capacity];
  // Without storage the buffer is simply empty; the next growth tries again.
  if (m_Buffer) m_BufferSize = capacity;
}

NPT_DataBuffer::NPT_DataBuffer(const void* data, NPT_Size size, bool copy)
    : m_BufferIsLocal(copy), m_Buffer(nullptr), m_BufferSize(0), m_DataSize(0) {
  if (!copy) {
    // Borrowed storage is never written through const paths by this class
    // unless the owner hands it out with UseData.
    m_Buffer = const_cast<NPT_Byte*>(static_cast<const NPT_Byte*>(data));
    m_BufferSize = size;
    m_DataSize = size;
    return;
  }
  if (size == 0) return;
  m_Buffer = new (std::nothrow) NPT_Byte[size];
  if (m_Buffer == nullptr) return;
  if (data) std::memcpy(m_Buffer, data, size);
  m_BufferSize = size;
  m_DataSize = size;
}

NPT_DataBuffer::NPT_DataBuffer(const NPT_DataBuffer& other)
    : m_BufferIsLocal(true), m_Buffer(nullptr), m_BufferSize(0), m_DataSize(0) {
  if (other.m_DataSize == 0) return;
  m_Buffer = new (std::nothrow) NPT_Byte[other.m_DataSize];
  if (m_Buffer == nullptr) return;
  std::memcpy(m_Buffer, other.m_Buffer, other.m_DataSize);
  m_BufferSize = other.m_DataSize;
  m_DataSize = other.m_DataSize;
}

NPT_DataBuffer::~NPT_DataBuffer() { Clear(); }

NPT_DataBuffer& NPT_DataBuffer::operator=(const NPT_DataBuffer& other) {
  if (this == &other) return *this;
  NPT_Byte* storage = nullptr;
  if (other.m_DataSize) {
    storage = new (std::nothrow) NPT_Byte[other.m_DataSize];
    if (storage) std::memcpy(storage, other.m_Buffer, other.m_DataSize);
  }
  Clear();
  if (storage) {
    m_Buffer = storage;
    m_BufferSize = other.m_DataSize;
    m_DataSize = other.m_DataSize;
  }
  return *this;
}

bool NPT_DataBuffer::operator==(const NPT_DataBuffer& other) const {
  if (m_DataSize != other.m_DataSize) return false;
  if (m_DataSize == 0) return true;
  return std::memcmp(m_Buffer, other.m_Buffer, m_DataSize) == 0;
}

NPT_Result NPT_DataBuffer::SetBuffer(NPT_Byte* buffer, NPT_Size buffer_size) {
  Clear();
  m_BufferIsLocal = false;
  m_Buffer = buffer;
  m_BufferSize = buffer_size;
  m_DataSize = 0;
  return NPT_SUCCESS;
}

NPT_Result NPT_DataBuffer::SetBufferSize(NPT_Size buffer_size) {
  if (!m_BufferIsLocal) return NPT_ERROR_NOT_SUPPORTED;
  return ReallocateBuffer(buffer_size);
}

NPT_Result NPT_DataBuffer::Reserve(NPT_Size size) {
  if (size <= m_BufferSize) return NPT_SUCCESS;
  // Doubling keeps repeated appends amortised; capped so it cannot wrap.
  NPT_UInt64 doubled = (NPT_UInt64)m_BufferSize * 2;
  if (doubled > 0xFFFFFFFFu) doubled = 0xFFFFFFFFu;
  NPT_Size new_size = (NPT_Size)doubled;
  if (new_size < size) new_size = size;
  return SetBufferSize(new_size);
}

NPT_Result NPT_DataBuffer::Clear() {
  if (m_BufferIsLocal) delete[] m_Buffer;
  m_BufferIsLocal = true;
  m_Buffer = nullptr;
  m_BufferSize = 0;
  m_DataSize = 0;
  return NPT_SUCCESS;
}

NPT_Result NPT_DataBuffer::SetDataSize(NPT_Size size) {
  if (size > m_BufferSize) {
    if (!m_BufferIsLocal) return NPT_ERROR_NOT_SUPPORTED;
    NPT_Result result = ReallocateBuffer(size);
    if (NPT_FAILED(result)) return result;
  }
  m_DataSize = size;
  return NPT_SUCCESS;
}

NPT_Result NPT_DataBuffer::SetData(const NPT_Byte* data, NPT_Size size) {
  if (size > m_BufferSize) {
    if (!m_BufferIsLocal) return NPT_ERROR_INVALID_STATE;
    // Copy from the source before the old storage goes, so that a source that
    // points into this buffer stays valid.
    NPT_Byte* storage = new (std::nothrow) NPT_Byte[size];
    if (storage == nullptr) return NPT_ERROR_OUT_OF_MEMORY;
    if (data) std::memcpy(storage, data, size);
    delete[] m_Buffer;
    m_Buffer = storage;
    m_BufferSize = size;
    m_DataSize = size;
    return NPT_SUCCESS;
  }
  if (data && size) std::memmove(m_Buffer, data, size);
  m_DataSize = size;
  return NPT_SUCCESS;
}

NPT_Result NPT_DataBuffer::ReallocateBuffer(NPT_Size size) {
  if (size < m_DataSize) return NPT_ERROR_INVALID_PARAMETERS;
  NPT_Byte* storage = nullptr;
  if (size) {
    storage = new (std::nothrow) NPT_Byte[size];
    if (storage == nullptr) return NPT_ERROR_OUT_OF_MEMORY;
    if (m_Buffer && m_DataSize) std::memcpy(storage, m_Buffer, m_DataSize);
  }
  if (m_BufferIsLocal) delete[] m_Buffer;
  m_BufferIsLocal = true;
  m_Buffer = storage;
  m_BufferSize = size;
  return NPT_SUCCESS;
}
