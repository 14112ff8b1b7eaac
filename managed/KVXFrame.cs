// KVXDeviceWrapper: frames handed over without a copy (KVXFrameDelegate).
//
// A KVXFrame stands for the native frame during one newFrame call: its bytes
// stay in the library's buffer and are copied only where the application
// asks (CopyTo into an array it reuses, or a read-only stream). Once the call
// has returned the buffer is refilled, so every use of the frame, or of a
// stream opened on it, throws ObjectDisposedException; the check and the copy
// happen under one lock, which the end of the call also takes, so a use from
// another thread never reads the buffer after that.
using System;
using System.IO;
using System.Runtime.InteropServices;

namespace KVXDeviceWrapper
{
    // The application's receiver of copy-free frames (KVXDevice.frameDelegate).
    // Both operations run on the device's worker thread, one at a time. An
    // exception thrown here is reported on standard error and ignored.
    public interface KVXFrameDelegate
    {
        // One complete frame, valid only during this call.
        void newFrame(KVXFrame frame);
        // The stream has ended without an abort. At most once, after the last
        // frame.
        void disconnected();
    }

    public sealed class KVXFrame
    {
        private readonly object m_lock = new object();
        // The native bytes; zero once the call has returned.
        private IntPtr m_data;
        private readonly uint m_size;
        private readonly string m_mimeType;
        private readonly ulong m_number;

        internal KVXFrame(IntPtr data, uint size, string mimeType, ulong number)
        {
            m_data = data;
            m_size = size;
            m_mimeType = mimeType;
            m_number = number;
        }

        // The frame's length in bytes.
        public uint Size
        {
            get { lock (m_lock) { CheckValid(); return m_size; } }
        }

        // "image/jpeg", "image/rgb" or "image/rgba" as the app sent it.
        public string MimeType
        {
            get { lock (m_lock) { CheckValid(); return m_mimeType; } }
        }

        // The frame's number in the stream, from 0 in the order the app sent
        // the frames; with deliverLatestOnly the dropped ones leave gaps.
        public ulong Number
        {
            get { lock (m_lock) { CheckValid(); return m_number; } }
        }

        // Copies the whole frame into `destination` from `offset` on. Throws
        // ArgumentException when it does not fit (ArgumentNullException,
        // ArgumentOutOfRangeException for a null array or a negative offset).
        public void CopyTo(byte[] destination, int offset)
        {
            lock (m_lock)
            {
                CheckValid();
                if (destination == null) throw new ArgumentNullException("destination");
                if (offset < 0) throw new ArgumentOutOfRangeException("offset", "negative offset");
                if ((long)destination.Length - offset < m_size)
                {
                    throw new ArgumentException(string.Format("a frame of {0} bytes does not fit in {1} bytes from offset {2}",
                                                              m_size, destination.Length, offset), "destination");
                }
                if (m_size > 0) Marshal.Copy(m_data, destination, offset, (int)m_size);
            }
        }

        // A read-only, seekable stream over the frame's bytes, positioned at 0;
        // valid as long as the frame.
        public Stream OpenRead()
        {
            lock (m_lock)
            {
                CheckValid();
                return new FrameStream(this);
            }
        }

        // The end of the call: every later use throws.
        internal void Invalidate()
        {
            lock (m_lock) m_data = IntPtr.Zero;
        }

        // Up to `count` bytes from `position` into `buffer`; 0 past the end.
        internal int Read(long position, byte[] buffer, int offset, int count)
        {
            lock (m_lock)
            {
                CheckValid();
                if (position >= m_size) return 0;
                int n = (int)Math.Min((long)count, m_size - position);
                if (n > 0) Marshal.Copy(new IntPtr(m_data.ToInt64() + position), buffer, offset, n);
                return n;
            }
        }

        internal long Length
        {
            get { lock (m_lock) { CheckValid(); return m_size; } }
        }

        internal bool IsValid
        {
            get { lock (m_lock) return m_data != IntPtr.Zero; }
        }

        internal void Check()
        {
            lock (m_lock) CheckValid();
        }

        private void CheckValid()
        {
            if (m_data == IntPtr.Zero) throw new ObjectDisposedException("KVXFrame", "a frame is valid only during its newFrame call");
        }

        private sealed class FrameStream : Stream
        {
            private readonly KVXFrame m_frame;
            private long m_position;

            internal FrameStream(KVXFrame frame)
            {
                m_frame = frame;
            }

            // False once the frame is gone, as for a closed stream.
            public override bool CanRead { get { return m_frame.IsValid; } }
            public override bool CanSeek { get { return m_frame.IsValid; } }
            public override bool CanWrite { get { return false; } }
            public override long Length { get { return m_frame.Length; } }

            public override long Position
            {
                get
                {
                    m_frame.Check();
                    return m_position;
                }
                set
                {
                    m_frame.Check();
                    if (value < 0) throw new ArgumentOutOfRangeException("value", "negative position");
                    m_position = value;
                }
            }

            public override int Read(byte[] buffer, int offset, int count)
            {
                if (buffer == null) throw new ArgumentNullException("buffer");
                if (offset < 0 || count < 0 || (long)buffer.Length - offset < count)
                {
                    throw new ArgumentException("offset and count do not lie within the buffer");
                }
                int n = m_frame.Read(m_position, buffer, offset, count);
                m_position += n;
                return n;
            }

            public override long Seek(long offset, SeekOrigin origin)
            {
                long start = origin == SeekOrigin.Begin ? 0 : origin == SeekOrigin.Current ? m_position : m_frame.Length;
                Position = start + offset;
                return m_position;
            }

            public override void Flush()
            {
            }

            public override void SetLength(long value)
            {
                throw new NotSupportedException("a frame stream is read-only");
            }

            public override void Write(byte[] buffer, int offset, int count)
            {
                throw new NotSupportedException("a frame stream is read-only");
            }
        }
    }
}
