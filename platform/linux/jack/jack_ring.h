#pragma once

// A ring of bytes between one producer thread and one consumer thread, on libjack's lock-free
// ring buffer, that publishes whole records: a reader sees all of one or nothing.

#include <jack/ringbuffer.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>

// Writers and readers each belong to one thread.
class Ring {
public:
    explicit Ring(std::size_t bytes) : ring_(jack_ringbuffer_create(bytes)) {}
    ~Ring() {
        if (ring_ != nullptr)
            jack_ringbuffer_free(ring_);
    }
    Ring(const Ring&) = delete;
    Ring& operator=(const Ring&) = delete;

    bool Valid() const { return ring_ != nullptr; }
    std::size_t WriteSpace() const { return jack_ringbuffer_write_space(ring_); }

    // Producer side; may run on the process callback thread.
    bool Push(const void* head, std::size_t headSize, const void* body = nullptr,
              std::size_t bodySize = 0) {
        const std::size_t total = headSize + bodySize;
        if (jack_ringbuffer_write_space(ring_) < total)
            return false;
        // The reader must be done with the bytes it freed before they are written over.
        std::atomic_thread_fence(std::memory_order_acquire);
        jack_ringbuffer_data_t parts[2];
        jack_ringbuffer_get_write_vector(ring_, parts);
        ForEachPiece(parts, 0, headSize, [&head](char* ring, std::size_t size) {
            std::memcpy(ring, head, size);
            head = static_cast<const char*>(head) + size;
        });
        ForEachPiece(parts, headSize, bodySize, [&body](char* ring, std::size_t size) {
            std::memcpy(ring, body, size);
            body = static_cast<const char*>(body) + size;
        });
        // The bytes must be visible before the reader can see the new write position.
        std::atomic_thread_fence(std::memory_order_release);
        jack_ringbuffer_write_advance(ring_, total);
        return true;
    }

    // Consumer side; may run on the process callback thread.
    std::size_t ReadSpace() const {
        const std::size_t space = jack_ringbuffer_read_space(ring_);
        std::atomic_thread_fence(std::memory_order_acquire);
        return space;
    }
    bool PeekAt(std::size_t offset, void* out, std::size_t size) const {
        if (ReadSpace() < offset + size)
            return false;
        jack_ringbuffer_data_t parts[2];
        jack_ringbuffer_get_read_vector(ring_, parts);
        ForEachPiece(parts, offset, size, [&out](const char* ring, std::size_t piece) {
            std::memcpy(out, ring, piece);
            out = static_cast<char*>(out) + piece;
        });
        return true;
    }
    void Skip(std::size_t size) {
        std::atomic_thread_fence(std::memory_order_release);
        jack_ringbuffer_read_advance(ring_, size);
    }
    bool Pop(void* out, std::size_t size) {
        if (!PeekAt(0, out, size))
            return false;
        Skip(size);
        return true;
    }

private:
    // The free or filled space of a ring is two pieces when it wraps: calls use with the part of
    // each piece that the size bytes starting at offset cover. Runs on either side's thread.
    template <typename Use>
    static void ForEachPiece(const jack_ringbuffer_data_t (&parts)[2], std::size_t offset,
                             std::size_t size, Use&& use) {
        for (const jack_ringbuffer_data_t& part : parts) {
            if (size == 0)
                return;
            if (offset >= part.len) {
                offset -= part.len;
                continue;
            }
            const std::size_t piece = std::min(size, part.len - offset);
            use(part.buf + offset, piece);
            size -= piece;
            offset = 0;
        }
    }

    jack_ringbuffer_t* ring_;
};
