#include "write/zipw.h"

#include "core/crc32.h"

#include <zlib.h>

#include <limits>
#include <memory>
#include <string>

namespace vantrell_write {

namespace zipw {

namespace {

constexpr std::uint16_t VERSION = 20;
constexpr std::uint16_t DOS_DATE = 0x0021; // 1980-01-01
constexpr std::uint64_t U32_MAX = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint64_t U16_MAX = std::numeric_limits<std::uint16_t>::max();

struct CentralRecord {
    const std::string* name;
    std::uint32_t crc;
    std::uint32_t compressed;
    std::uint32_t size;
    std::uint32_t offset;
    std::uint16_t method;
};

void put16(Bytes& out, std::uint64_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void put32(Bytes& out, std::uint64_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

struct StreamEnd {
    void operator()(z_stream* s) const { deflateEnd(s); }
};

Error too_large(const std::string& what) { return Error::other("zip: " + what + " too large for a zip archive"); }

} // namespace

Result<Bytes> deflate_raw(std::span<const std::uint8_t> data) {
    z_stream stream{};
    if (deflateInit2(&stream, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return fail(Error::io("corrupt deflate stream"));
    std::unique_ptr<z_stream, StreamEnd> guard(&stream);

    Bytes out;
    out.reserve(data.size() / 2);
    std::size_t consumed = 0;
    std::uint8_t buffer[32768];
    // zlib counts input in uInt: feed it in pieces so any size is safe.
    for (;;) {
        const std::size_t left = data.size() - consumed;
        const uInt chunk = static_cast<uInt>(std::min<std::size_t>(left, 1u << 30));
        stream.next_in = const_cast<Bytef*>(data.data() + consumed);
        stream.avail_in = chunk;
        const int flush = chunk == left ? Z_FINISH : Z_NO_FLUSH;
        int status;
        do {
            stream.next_out = buffer;
            stream.avail_out = sizeof buffer;
            status = deflate(&stream, flush);
            if (status == Z_STREAM_ERROR) return fail(Error::io("corrupt deflate stream"));
            const std::size_t produced = sizeof buffer - stream.avail_out;
            if (status == Z_BUF_ERROR && produced == 0) return fail(Error::io("failed to write whole buffer"));
            out.insert(out.end(), buffer, buffer + produced);
        } while (stream.avail_out == 0 || (flush == Z_FINISH && status != Z_STREAM_END));
        consumed += chunk - stream.avail_in;
        if (status == Z_STREAM_END) break;
        if (chunk != 0 && stream.avail_in == chunk) return fail(Error::io("failed to write whole buffer"));
    }
    return out;
}

Result<Bytes> write(std::span<const parts::PartOut> parts) {
    if (parts.size() > U16_MAX) return fail(too_large("entry count"));
    Bytes out;
    std::vector<CentralRecord> central;
    central.reserve(parts.size());
    for (const parts::PartOut& part : parts) {
        if (part.name.size() > U16_MAX) return fail(too_large("entry name"));
        if (part.data.size() > U32_MAX) return fail(too_large("part " + part.name));
        if (out.size() > U32_MAX) return fail(too_large("archive"));
        const std::uint64_t offset = out.size();

        Bytes packed;
        const Bytes* payload = &part.data;
        if (part.deflate) {
            auto d = deflate_raw(part.data);
            if (!d) return fail(d.error());
            packed = std::move(*d);
            payload = &packed;
            if (packed.size() > U32_MAX) return fail(too_large("part " + part.name));
        }
        const std::uint16_t method = part.deflate ? 8 : 0;
        const std::uint32_t crc = vantrell_core::crc32::of(part.data);

        put32(out, 0x04034B50);
        put16(out, VERSION);
        put16(out, 0); // flags
        put16(out, method);
        put16(out, 0); // time
        put16(out, DOS_DATE);
        put32(out, crc);
        put32(out, payload->size());
        put32(out, part.data.size());
        put16(out, part.name.size());
        put16(out, 0); // extra field length
        out.insert(out.end(), part.name.begin(), part.name.end());
        out.insert(out.end(), payload->begin(), payload->end());

        central.push_back(CentralRecord{&part.name, crc, static_cast<std::uint32_t>(payload->size()),
                                        static_cast<std::uint32_t>(part.data.size()),
                                        static_cast<std::uint32_t>(offset), method});
    }

    if (out.size() > U32_MAX) return fail(too_large("archive"));
    const std::uint64_t cd_offset = out.size();
    for (const CentralRecord& r : central) {
        put32(out, 0x02014B50);
        put16(out, VERSION); // made by
        put16(out, VERSION); // needed
        put16(out, 0);       // flags
        put16(out, r.method);
        put16(out, 0); // time
        put16(out, DOS_DATE);
        put32(out, r.crc);
        put32(out, r.compressed);
        put32(out, r.size);
        put16(out, r.name->size());
        put16(out, 0); // extra
        put16(out, 0); // comment
        put16(out, 0); // disk number start
        put16(out, 0); // internal attributes
        put32(out, 0); // external attributes
        put32(out, r.offset);
        out.insert(out.end(), r.name->begin(), r.name->end());
    }
    const std::uint64_t cd_size = out.size() - cd_offset;
    if (cd_size > U32_MAX) return fail(too_large("central directory"));

    put32(out, 0x06054B50);
    put16(out, 0);
    put16(out, 0);
    put16(out, central.size());
    put16(out, central.size());
    put32(out, cd_size);
    put32(out, cd_offset);
    put16(out, 0); // comment length
    return out;
}

} // namespace zipw

Result<Bytes> Presentation::to_bytes() const {
    auto parts = parts::build(*this);
    if (!parts) return fail(parts.error());
    return zipw::write(*parts);
}

} // namespace vantrell_write
