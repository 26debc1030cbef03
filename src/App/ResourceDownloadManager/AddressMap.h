#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace Tiskel::App::detail {

// A hash map from object addresses to small values, for the tables that registration fills by
// the hundred thousand: entries live in one array with open addressing (linear probing), so a
// lookup costs about one cache miss and an insertion allocates nothing of its own. Entries are
// never removed; null keys are not allowed. Not thread-safe.
template <class Key, class Value>
class AddressMap {
  public:
    // The value stored for `key`, or null.
    Value* find(Key const* key) noexcept {
        if (slots.empty()) {
            return nullptr;
        }
        for (std::size_t i = indexOf(key);; i = (i + 1) & mask()) {
            if (slots[i].first == key) {
                return &slots[i].second;
            }
            if (slots[i].first == nullptr) {
                return nullptr;
            }
        }
    }

    // The value stored for `key`, inserting `value` first when there is none; true when it
    // inserted.
    std::pair<Value*, bool> tryEmplace(Key const* key, Value value) {
        if ((count + 1) * 2 > slots.size()) {
            grow();
        }
        for (std::size_t i = indexOf(key);; i = (i + 1) & mask()) {
            if (slots[i].first == key) {
                return {&slots[i].second, false};
            }
            if (slots[i].first == nullptr) {
                slots[i] = {key, std::move(value)};
                ++count;
                return {&slots[i].second, true};
            }
        }
    }

    // Room for `total` keys without growing on the way: one move of the present keys instead of
    // one per doubling.
    void reserve(std::size_t total) {
        std::size_t size = slots.empty() ? 2 : slots.size();
        while (total * 2 > size) {
            size *= 2;
        }
        if (size != slots.size()) {
            rehash(size);
        }
    }

    std::size_t size() const noexcept { return count; }
    bool empty() const noexcept { return count == 0; }

    // Calls `visit(key, value)` for every entry, in no particular order.
    template <class Visit>
    void forEach(Visit&& visit) const {
        for (auto const& slot : slots) {
            if (slot.first != nullptr) {
                visit(slot.first, slot.second);
            }
        }
    }

  private:
    std::size_t mask() const noexcept { return slots.size() - 1; }

    // Addresses are aligned and often evenly spaced: a multiplicative (Fibonacci) hash spreads
    // them over the table by the top bits of the product.
    std::size_t indexOf(Key const* key) const noexcept {
        auto const address = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(key));
        return static_cast<std::size_t>((address * UINT64_C(0x9E3779B97F4A7C15)) >> shift);
    }

    // Doubles the table, keeping it at most half full. It starts at two slots: most tables
    // (a bundle's children, of which a per-file bundle has one) stay that small.
    void grow() { rehash(slots.empty() ? 2 : slots.size() * 2); }

    void rehash(std::size_t size) {
        std::vector<std::pair<Key const*, Value>> old(size);
        old.swap(slots);
        shift = 64;
        for (std::size_t size = slots.size(); size > 1; size /= 2) {
            --shift;
        }
        for (auto& slot : old) {
            if (slot.first != nullptr) {
                std::size_t i = indexOf(slot.first);
                while (slots[i].first != nullptr) {
                    i = (i + 1) & mask();
                }
                slots[i] = std::move(slot);
            }
        }
    }

    std::vector<std::pair<Key const*, Value>> slots;
    std::size_t count = 0;
    unsigned shift = 64;  // 64 - log2(slots.size())
};

}  // namespace Tiskel::App::detail
