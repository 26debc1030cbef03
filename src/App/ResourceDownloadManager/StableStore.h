#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace Tiskel::App::detail {

// Objects made in place, one after another, in blocks of `BlockSize`: none ever moves, none has
// an allocation of its own, and no block is wasted on padding (unlike a deque, whose 512-byte
// blocks hold two objects of 200 bytes). Destroyed newest first. Not thread-safe.
template <class T, std::size_t BlockSize = 256>
class StableStore {
  public:
    StableStore() = default;
    ~StableStore() { clear(); }
    StableStore(StableStore const&) = delete;
    StableStore& operator=(StableStore const&) = delete;

    template <class... Args>
    T& emplace_back(Args&&... args) {
        if (count == blocks.size() * BlockSize) {
            blocks.push_back(std::unique_ptr<Block>(new Block));  // left uninitialised
        }
        T* slot = blocks[count / BlockSize]->at(count % BlockSize);
        new (slot) T(std::forward<Args>(args)...);
        ++count;
        return *slot;
    }

    std::size_t size() const noexcept { return count; }

    // Visits every element, oldest first.
    template <class Visit>
    void forEach(Visit&& visit) {
        for (std::size_t i = 0; i < count; ++i) {
            visit(*blocks[i / BlockSize]->at(i % BlockSize));
        }
    }

    // Destroys every object, the newest first.
    void clear() noexcept {
        while (count > 0) {
            --count;
            blocks[count / BlockSize]->at(count % BlockSize)->~T();
        }
        blocks.clear();
    }

  private:
    struct Block {
        alignas(T) unsigned char bytes[sizeof(T) * BlockSize];
        T* at(std::size_t index) noexcept {
            return std::launder(reinterpret_cast<T*>(bytes + sizeof(T) * index));
        }
    };

    std::vector<std::unique_ptr<Block>> blocks;
    std::size_t count = 0;
};

}  // namespace Tiskel::App::detail
