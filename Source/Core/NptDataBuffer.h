#pragma once
// NPT_DataBuffer: a byte buffer that owns its storage or borrows the caller's.
// The first `data size` bytes of the storage are valid; the capacity is the
// storage's size. A borrowed buffer never reallocates: operations that would
// need more room fail instead.

#include "NptResults.h"
#include "NptTypes.h"

class NPT_DataBuffer {
 public:
  // Owned, no storage, sizes 0.
  NPT_DataBuffer();
  // Owned storage of `capacity` bytes (none when 0); no data.
  explicit NPT_DataBuffer(NPT_Size capacity);
  // copy: owned storage of exactly `size` bytes holding a copy of `data`.
  // no copy: borrows `data` (which must outlive the buffer).
  // Both capacity and data size are `size`.
  NPT_DataBuffer(const void* data, NPT_Size size, bool copy = true);
  // An owned copy of the other's valid data; capacity equal to its data size.
  NPT_DataBuffer(const NPT_DataBuffer& other);
  virtual ~NPT_DataBuffer();

  // Makes an owned copy of the other's valid data.
  NPT_DataBuffer& operator=(const NPT_DataBuffer& other);
  // Equal data sizes and equal bytes.
  bool operator==(const NPT_DataBuffer& other) const;
  bool operator!=(const NPT_DataBuffer& other) const { return !(*this == other); }

  // Drops the current storage and borrows `buffer` of `buffer_size` bytes; no data.
  virtual NPT_Result SetBuffer(NPT_Byte* buffer, NPT_Size buffer_size);
  // Reallocates owned storage to exactly `buffer_size` bytes, keeping the data.
  // NPT_ERROR_NOT_SUPPORTED on a borrowed buffer, NPT_ERROR_INVALID_PARAMETERS
  // when smaller than the data size, NPT_ERROR_OUT_OF_MEMORY.
  virtual NPT_Result SetBufferSize(NPT_Size buffer_size);
  virtual NPT_Size GetBufferSize() const { return m_BufferSize; }
  // Ensures a capacity of at least `size`, growing to the larger of twice the
  // current capacity and `size`.
  virtual NPT_Result Reserve(NPT_Size size);
  // Frees owned storage; no storage, sizes 0 (and owned) afterwards.
  virtual NPT_Result Clear();
  virtual const NPT_Byte* GetData() const { return m_Buffer; }
  virtual NPT_Byte* UseData() { return m_Buffer; }
  virtual NPT_Size GetDataSize() const { return m_DataSize; }
  // Beyond the capacity a borrowed buffer gives NPT_ERROR_NOT_SUPPORTED and an
  // owned one grows to exactly `size` (data kept). New bytes are not initialised.
  virtual NPT_Result SetDataSize(NPT_Size size);
  // Replaces the data with `size` bytes from `data` (nothing copied when null).
  // Beyond the capacity a borrowed buffer gives NPT_ERROR_INVALID_STATE and an
  // owned one grows to exactly `size`.
  virtual NPT_Result SetData(const NPT_Byte* data, NPT_Size size);

 protected:
  // New owned storage of exactly `size` bytes with the valid data copied over.
  NPT_Result ReallocateBuffer(NPT_Size size);

  bool m_BufferIsLocal;
  NPT_Byte* m_Buffer;
  NPT_Size m_BufferSize;
  NPT_Size m_DataSize;
};
