#include "write/zipw.h"

#include "core/bytes.h"
#include "core/crc32.h"

#include <zlib.h>

#include <limits>
#include <algorithm>
#include <string>

namespace vantrell_write {

namespace zipw {

namespace {

constexpr std::uint16_t VERSION = 20;
constexpr std::uint16_t DOS_DATE = 0x0021; // 1980-01-01
constexpr std::uint64_t U32_MAX = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint64_t U16_MAX = std::numeric_limits<std::uint16_t>::max();

using vantrell_core::bytes::append_le16;
using vantrell_core::bytes::append_le32;

struct CentralRecord {
    const std::string* name;
    std::uint32_t crc;
    std::uint32_t compressed;
    std::uint32_t size;
    std::uint32_t offset;
    std::uint16_t method;
};

// One raw deflate stream reused for every entry of an archive: deflateReset
// keeps zlib's window and hash tables, whose allocation and first touch
// otherwise cost more than compressing a small slide part. A reset stream
// produces the same bytes as a fresh one with the same parameters.
class Deflater {
public:
    Deflater() = default;
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;
    ~Deflater() {
        if (ready_) deflateEnd(&stream_);
    }

    // Appends the raw deflate stream of `data` to `out`.
    Result<void> run(std::span<const std::uint8_t> data, Bytes& out) {
        if (!ready_) {
            if (deflateInit2(&stream_, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
                return fail(Error::io("corrupt deflate stream"));
            ready_ = true;
        } else if (deflateReset(&stream_) != Z_OK) {
            return fail(Error::io("corrupt deflate stream"));
        }
        std::size_t consumed = 0;
        // zlib counts in uInt: feed input and output room in pieces so any size is safe.
        constexpr std::size_t PIECE = std::size_t{1} << 30;
        for (;;) {
            const std::size_t left = data.size() - consumed;
            const uInt chunk = static_cast<uInt>(std::min(left, PIECE));
            stream_.next_in = const_cast<Bytef*>(data.data() + consumed);
            stream_.avail_in = chunk;
            const int flush = chunk == left ? Z_FINISH : Z_NO_FLUSH;
            int status;
            do {
                // The bound of the rest of the input usually lets one call finish the stream.
                const std::size_t room =
                    std::min<std::size_t>(deflateBound(&stream_, stream_.avail_in) + 64, PIECE);
                const std::size_t before = out.size();
                out.resize(before + room);
                stream_.next_out = out.data() + before;
                stream_.avail_out = static_cast<uInt>(room);
                status = deflate(&stream_, flush);
                const std::size_t produced = room - stream_.avail_out;
                out.resize(before + produced);
                if (status == Z_STREAM_ERROR) return fail(Error::io("corrupt deflate stream"));
                if (status == Z_BUF_ERROR && produced == 0) return fail(Error::io("failed to write whole buffer"));
            } while (stream_.avail_out == 0 || (flush == Z_FINISH && status != Z_STREAM_END));
            consumed += chunk - stream_.avail_in;
            if (status == Z_STREAM_END) return {};
            if (chunk != 0 && stream_.avail_in == chunk) return fail(Error::io("failed to write whole buffer"));
        }
    }

private:
    z_stream stream_{};
    bool ready_ = false;
};

Error too_large(const std::string& what) { return Error::other("zip: " + what + " too large for a zip archive"); }

} // namespace

Result<Bytes> deflate_raw(std::span<const std::uint8_t> data) {
    Deflater deflater;
    Bytes out;
    auto done = deflater.run(data, out);
    if (!done) return fail(done.error());
    return out;
}

Result<Bytes> write(std::span<const parts::PartOut> parts) {
    if (parts.size() > U16_MAX) return fail(too_large("entry count"));
    // Stored parts (the media) dominate large decks: room for them up front
    // spares copying megabytes of pictures on every growth of the archive.
    std::size_t estimate = 22;
    for (const parts::PartOut& part : parts) {
        const std::size_t body = part.deflate ? part.data.size() / 4 : part.data.size();
        if (body > U32_MAX || part.name.size() > U16_MAX) break;
        estimate += 30 + 46 + 2 * part.name.size() + body;
        if (estimate > U32_MAX) break;
    }
    Bytes out;
    out.reserve(std::min<std::size_t>(estimate, U32_MAX));
    Deflater deflater;
    std::vector<CentralRecord> central;
    central.reserve(parts.size());
    for (const parts::PartOut& part : parts) {
        if (part.name.size() > U16_MAX) return fail(too_large("entry name"));
        if (part.data.size() > U32_MAX) return fail(too_large("part " + part.name));
        if (out.size() > U32_MAX) return fail(too_large("archive"));
        const std::uint64_t offset = out.size();
        const std::uint16_t method = part.deflate ? 8 : 0;
        const std::uint32_t crc = vantrell_core::crc32::of(part.data);

        append_le32(out, 0x04034B50);
        append_le16(out, VERSION);
        append_le16(out, 0); // flags
        append_le16(out, method);
        append_le16(out, 0); // time
        append_le16(out, DOS_DATE);
        append_le32(out, crc);
        const std::size_t compressed_at = out.size();
        append_le32(out, part.data.size()); // compressed size, patched below when deflated
        append_le32(out, part.data.size());
        append_le16(out, part.name.size());
        append_le16(out, 0); // extra field length
        out.insert(out.end(), part.name.begin(), part.name.end());

        const std::size_t payload_at = out.size();
        if (part.deflate) {
            auto done = deflater.run(part.data, out);
            if (!done) return fail(done.error());
        } else {
            out.insert(out.end(), part.data.begin(), part.data.end());
        }
        const std::uint64_t compressed = out.size() - payload_at;
        if (compressed > U32_MAX) return fail(too_large("part " + part.name));
        vantrell_core::bytes::store_le32(out.data() + compressed_at, static_cast<std::uint32_t>(compressed));

        central.push_back(CentralRecord{&part.name, crc, static_cast<std::uint32_t>(compressed),
                                        static_cast<std::uint32_t>(part.data.size()),
                                        static_cast<std::uint32_t>(offset), method});
    }

    if (out.size() > U32_MAX) return fail(too_large("archive"));
    const std::uint64_t cd_offset = out.size();
    for (const CentralRecord& r : central) {
        append_le32(out, 0x02014B50);
        append_le16(out, VERSION); // made by
        append_le16(out, VERSION); // needed
        append_le16(out, 0);       // flags
        append_le16(out, r.method);
        append_le16(out, 0); // time
        append_le16(out, DOS_DATE);
        append_le32(out, r.crc);
        append_le32(out, r.compressed);
        append_le32(out, r.size);
        append_le16(out, r.name->size());
        append_le16(out, 0); // extra
        append_le16(out, 0); // comment
        append_le16(out, 0); // disk number start
        append_le16(out, 0); // internal attributes
        append_le32(out, 0); // external attributes
        append_le32(out, r.offset);
        out.insert(out.end(), r.name->begin(), r.name->end());
    }
    const std::uint64_t cd_size = out.size() - cd_offset;
    if (cd_size > U32_MAX) return fail(too_large("central directory"));

    append_le32(out, 0x06054B50);
    append_le16(out, 0);
    append_le16(out, 0);
    append_le16(out, central.size());
    append_le16(out, central.size());
    append_le32(out, cd_size);
    append_le32(out, cd_offset);
    append_le16(out, 0); // comment length
    return out;
}

} // namespace zipw

Result<Bytes> Presentation::to_bytes() const {
    auto parts = parts::build(*this);
    if (!parts) return fail(parts.error());
    return zipw::write(*parts);
}

} // namespace vantrell_write
