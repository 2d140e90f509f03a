#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

#include "protocol/ZELKPacket.h"

// Common shape of the server-to-client packets: the fields come from a pure
// decoder, Derived::decode(header, body, bodyLength) -> optional<Fields>,
// which never reads past bodyLength and returns nothing for a body that
// cannot hold the packet. Each parse first drops the previous contents.
template <typename Derived, typename Fields>
class ReceivedPacket : public ZELKPacket {
public:
    using ZELKPacket::ZELKPacket;

    void writeBody(uint8_t*) override {}
    bool parse(const uint8_t* header, const uint8_t* body, int length) override {
        parseHeader(header);
        m_fields = Fields{};
        std::optional<Fields> decoded = Derived::decode(header, body, bodyLength(length));
        if (!decoded) return false;
        m_fields = std::move(*decoded);
        return true;
    }
    const Fields& fields() const { return m_fields; }

protected:
    Fields m_fields{};
};
