#include "core/comments.h"

#include <cstdint>
#include <utility>

#include "core/hash.h"
#include "core/mce.h"
#include "core/model.h"
#include "core/pml.h"
#include "core/slide.h"
#include "core/xml.h"

namespace vantrell_core::comments {

namespace {

using xml::ns::NONE;
using xml::ns::P188;
using xml::ns::PML;

// The extension that threads legacy comments.
constexpr std::string_view THREADING_EXT = "{C676402C-5697-4E1C-873F-D02D1690AC5C}";

// One spelling per id, so that "07" and "7" meet in a map.
std::string id_key(std::string_view id) {
    id = pml::value::trim(id);
    if (auto n = pml::value::uint64(id)) return std::to_string(*n);
    return std::string(id);
}

// The author's name and initials are shared with the list, not copied.
Comment make(const AuthorList& authors, const std::optional<std::string>& author_id,
             std::optional<std::string> date, std::string text, bool reply) {
    Comment c;
    if (const CommentAuthor* a = author_id ? authors.find(*author_id) : nullptr) {
        c.author = a->name;
        c.initials = a->initials;
    }
    c.date = std::move(date);
    c.text = std::move(text);
    c.reply = reply;
    return c;
}

xml::Status body_text(xml::Reader& r, std::string& out) {
    std::vector<model::Paragraph> paragraphs;
    if (auto st = slide::read_paragraphs(r, paragraphs, nullptr); !st) return st;
    model::write_text(paragraphs, out);
    return {};
}

struct Legacy {
    Comment comment;
    std::optional<std::string> author_id, idx;
    std::optional<std::string> parent_author, parent_idx;
};

xml::Status legacy_comment(xml::Reader& r, const xml::Start& s, Legacy& l) {
    l.author_id = r.attr(s, NONE, "authorId");
    l.idx = r.attr(s, NONE, "idx");
    l.comment.date = r.attr(s, NONE, "dt");
    return mce::children_inner(
        r,
        [&](xml::Reader&, const xml::Start& c) -> xml::Status {
            if (c.is(PML, "text")) return r.read_text(l.comment.text);
            if (!c.is(PML, "extLst")) return {};
            return mce::children_inner(
                r,
                [&](xml::Reader&, const xml::Start& ext) -> xml::Status {
                    if (!ext.is(PML, "ext") || r.attr(ext, NONE, "uri") != THREADING_EXT) return {};
                    return mce::children_inner(
                        r,
                        [&](xml::Reader&, const xml::Start& ti) -> xml::Status {
                            if (ti.name.local != "threadingInfo") return {};
                            return mce::children_inner(
                                r,
                                [&](xml::Reader&, const xml::Start& pc) -> xml::Status {
                                    if (pc.name.local != "parentCm") return {};
                                    l.parent_author = r.attr(pc, NONE, "authorId");
                                    l.parent_idx = r.attr(pc, NONE, "idx");
                                    return {};
                                },
                                true);
                        },
                        true);
                },
                true);
        },
        true);
}

// Top-level comments in order, each followed by the replies whose parent
// chain leads to it. A reply whose parent is missing, or whose chain loops,
// stays where it was written.
std::vector<Comment> thread(std::vector<Legacy>& all, const AuthorList& authors) {
    const std::size_t n = all.size();
    constexpr std::size_t NO_PARENT = SIZE_MAX;
    hash::StringMap<std::size_t> by_key;
    for (std::size_t i = 0; i < n; ++i) {
        if (all[i].author_id && all[i].idx)
            by_key.emplace(id_key(*all[i].author_id) + '\n' + id_key(*all[i].idx), i);
    }
    std::vector<std::size_t> parent(n, NO_PARENT);
    for (std::size_t i = 0; i < n; ++i) {
        if (!all[i].parent_author || !all[i].parent_idx) continue;
        auto it = by_key.find(id_key(*all[i].parent_author) + '\n' + id_key(*all[i].parent_idx));
        if (it != by_key.end() && it->second != i) parent[i] = it->second;
    }
    // Each chain is walked once: a walk stops at a comment whose root is
    // known, and a walk that meets itself leaves the loop's comments in place.
    enum : std::uint8_t { unseen, walking, done };
    std::vector<std::uint8_t> state(n, unseen);
    std::vector<std::size_t> root(n);
    std::vector<std::size_t> path;
    for (std::size_t i = 0; i < n; ++i) {
        if (state[i] == done) continue;
        path.clear();
        std::size_t cur = i;
        while (state[cur] == unseen) {
            state[cur] = walking;
            path.push_back(cur);
            if (parent[cur] == NO_PARENT) break;
            cur = parent[cur];
        }
        const bool loop = state[cur] == walking && parent[cur] != NO_PARENT;
        const std::size_t top = state[cur] == done ? root[cur] : cur;
        for (std::size_t k : path) {
            root[k] = loop ? k : top;
            state[k] = done;
        }
    }
    std::vector<std::vector<std::size_t>> replies(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (root[i] != i) replies[root[i]].push_back(i);
    }
    for (std::size_t i = 0; i < n; ++i) {
        all[i].comment = make(authors, all[i].author_id, std::move(all[i].comment.date),
                              std::move(all[i].comment.text), all[i].parent_author.has_value());
    }
    std::vector<Comment> out;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (root[i] != i) continue;
        out.push_back(std::move(all[i].comment));
        for (std::size_t k : replies[i]) out.push_back(std::move(all[k].comment));
    }
    return out;
}

xml::Status modern_comment(xml::Reader& r, const xml::Start& s, const AuthorList& authors,
                           std::vector<Comment>& out) {
    auto author = r.attr(s, NONE, "authorId");
    auto date = r.attr(s, NONE, "created");
    std::string text;
    std::vector<Comment> replies;
    auto st = mce::children_inner(
        r,
        [&](xml::Reader&, const xml::Start& c) -> xml::Status {
            if (c.is(P188, "txBody")) return body_text(r, text);
            if (!c.is(P188, "replyLst")) return {};
            return mce::children_inner(
                r,
                [&](xml::Reader&, const xml::Start& rp) -> xml::Status {
                    if (!rp.is(P188, "reply")) return {};
                    auto ra = r.attr(rp, NONE, "authorId");
                    auto rd = r.attr(rp, NONE, "created");
                    std::string rt;
                    auto rst = mce::children_inner(
                        r,
                        [&](xml::Reader&, const xml::Start& b) -> xml::Status {
                            if (b.is(P188, "txBody")) return body_text(r, rt);
                            return {};
                        },
                        true);
                    if (rst) replies.push_back(make(authors, ra, std::move(rd), std::move(rt), true));
                    return rst;
                },
                true);
        },
        true);
    if (!st) return st;
    out.push_back(make(authors, author, std::move(date), std::move(text), false));
    for (Comment& c : replies) out.push_back(std::move(c));
    return {};
}


} // namespace

Result<std::vector<CommentAuthor>> parse_authors(std::string_view text, std::string_view part) {
    std::vector<CommentAuthor> out;
    auto res = xml::parse_root(text, part, [&](xml::Reader& r, const xml::Start& root) -> xml::Status {
        const bool legacy = root.is(PML, "cmAuthorLst");
        if (!legacy && !root.is(P188, "authorLst")) return r.skip();
        return mce::children_inner(
            r,
            [&](xml::Reader&, const xml::Start& s) -> xml::Status {
                if (legacy ? !s.is(PML, "cmAuthor") : !s.is(P188, "author")) return {};
                CommentAuthor a;
                a.id = r.attr(s, NONE, "id").value_or(std::string());
                a.name = r.attr(s, NONE, "name").value_or(std::string());
                a.initials = SharedText(r.attr(s, NONE, "initials"));
                out.push_back(std::move(a));
                return {};
            },
            true);
    });
    if (!res) return fail(std::move(res.error()));
    return out;
}

AuthorList::AuthorList(std::vector<CommentAuthor> authors) : authors_(std::move(authors)) {
    for (std::size_t i = 0; i < authors_.size(); ++i) by_id_.emplace(id_key(authors_[i].id), i);
}

const CommentAuthor* AuthorList::find(std::string_view id) const {
    const auto it = by_id_.find(id_key(id));
    return it == by_id_.end() ? nullptr : &authors_[it->second];
}

Result<std::vector<Comment>> parse(std::string_view text, std::string_view part, const AuthorList& authors) {
    std::vector<Comment> out;
    auto res = xml::parse_root(text, part, [&](xml::Reader& r, const xml::Start& root) -> xml::Status {
        if (root.is(PML, "cmLst")) {
            std::vector<Legacy> all;
            auto st = mce::children_inner(
                r,
                [&](xml::Reader&, const xml::Start& s) -> xml::Status {
                    if (!s.is(PML, "cm")) return {};
                    all.emplace_back();
                    return legacy_comment(r, s, all.back());
                },
                true);
            if (st) out = thread(all, authors);
            return st;
        }
        if (root.is(P188, "cmLst")) {
            return mce::children_inner(
                r,
                [&](xml::Reader&, const xml::Start& s) -> xml::Status {
                    if (!s.is(P188, "cm")) return {};
                    return modern_comment(r, s, authors, out);
                },
                true);
        }
        return r.skip();
    });
    if (!res) return fail(std::move(res.error()));
    return out;
}

} // namespace vantrell_core::comments
