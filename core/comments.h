// Comment parts of both formats and their author lists.
//
// Legacy comments (p:cmLst) name their author by a numeric id of the
// commentAuthors part and thread replies through a PowerPoint 2013
// extension naming the parent by (author id, idx). Modern comments
// (p188:cmLst) name authors by GUID and nest replies inside their parent.
// Either way the result is flat: each top-level comment followed by its
// replies, in document order. An author's name and initials are stored once
// in the author list and shared by every comment of theirs.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/hash.h"
#include "core/shared_text.h"

namespace vantrell_core::comments {

struct CommentAuthor {
    std::string id;
    SharedText name; // always set, empty when not written
    SharedText initials;
};

struct Comment {
    SharedText author;    // resolved through the authors
    SharedText initials;
    std::optional<std::string> date;      // as written
    std::string text;
    bool reply = false;
};

// The authors of a p:cmAuthorLst or p188:authorLst part; any other root
// gives an empty list.
Result<std::vector<CommentAuthor>> parse_authors(std::string_view text, std::string_view part);

// An author list, its authors found by id ("07" and "7" being one id, the
// first author of an id winning) without a scan of the list per comment.
class AuthorList {
public:
    AuthorList() = default;
    AuthorList(std::vector<CommentAuthor> authors);

    const std::vector<CommentAuthor>& authors() const noexcept { return authors_; }
    const CommentAuthor* find(std::string_view id) const;

private:
    std::vector<CommentAuthor> authors_;
    hash::StringMap<std::size_t> by_id_; // positions in `authors_`
};

// The comments of a p:cmLst or p188:cmLst part, authors resolved against
// `authors` (the list of the same format); any other root gives none.
Result<std::vector<Comment>> parse(std::string_view text, std::string_view part, const AuthorList& authors);

} // namespace vantrell_core::comments
