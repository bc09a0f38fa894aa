#include "core/diagram.h"

#include <algorithm>
#include <deque>
#include <optional>

#include "core/mce.h"
#include "core/pml.h"
#include "core/xml.h"

namespace vantrell_core::diagram {

namespace {

using xml::ns::DIAGRAM;
using xml::ns::DML;
using xml::ns::NONE;

// Ids and types are views into the part's text, or into the parser's store
// when they had references to decode: a data model holds thousands of them.
struct Point {
    std::string_view id;
    std::string_view type;
    std::string text;
};

struct Connection {
    std::string_view src, dest;
    std::uint64_t order = 0;
};

class Parser {
public:
    explicit Parser(xml::Reader& r) : r_(r) {}

    xml::Status data_model() {
        return each([&](const xml::Start& s) -> xml::Status {
            if (s.is(DIAGRAM, "ptLst")) return each([&](const xml::Start& p) { return point(p); });
            if (s.is(DIAGRAM, "cxnLst")) return each([&](const xml::Start& c) { return connection(c); });
            return {};
        });
    }

    DiagramData outline() const {
        const std::size_t n = points_.size();
        // Ids sorted, ties in document order, so a repeated id finds its
        // first point, as a map filled in order would.
        std::vector<std::pair<std::string_view, std::size_t>> index(n);
        for (std::size_t i = 0; i < n; ++i) index[i] = {points_[i].id, i};
        std::sort(index.begin(), index.end());
        auto find = [&](std::string_view id) -> std::optional<std::size_t> {
            auto it = std::lower_bound(index.begin(), index.end(), id,
                                       [](const auto& e, std::string_view v) { return e.first < v; });
            if (it == index.end() || it->first != id) return std::nullopt;
            return it->second;
        };

        // Edges grouped by source point and ordered by srcOrd, ties in
        // document order; `first[i]` is where point i's children start.
        struct Edge {
            std::size_t src;
            std::uint64_t order;
            std::size_t dest;
        };
        std::vector<Edge> edges;
        edges.reserve(connections_.size());
        std::vector<bool> has_parent(n, false);
        for (const Connection& c : connections_) {
            const auto s = find(c.src);
            const auto d = find(c.dest);
            if (!s || !d || *s == *d) continue;
            edges.push_back({*s, c.order, *d});
            has_parent[*d] = true;
        }
        std::stable_sort(edges.begin(), edges.end(), [](const Edge& a, const Edge& b) {
            return a.src != b.src ? a.src < b.src : a.order < b.order;
        });
        std::vector<std::size_t> first(n + 1, 0);
        for (const Edge& e : edges) ++first[e.src + 1];
        for (std::size_t i = 0; i < n; ++i) first[i + 1] += first[i];

        // The document point is the root; without one, every content point
        // that no connection leads to starts a tree of its own.
        std::vector<std::size_t> roots;
        for (std::size_t i = 0; i < n; ++i) {
            if (points_[i].type == "doc") {
                roots.push_back(i);
                break;
            }
        }
        const bool doc_root = !roots.empty();
        if (!doc_root) {
            for (std::size_t i = 0; i < n; ++i) {
                if (!has_parent[i] && is_content(points_[i])) roots.push_back(i);
            }
        }

        DiagramData out;
        std::vector<bool> visited(n, false);
        // (point, depth); the document point sits at depth 0 and is not emitted.
        std::vector<std::pair<std::size_t, std::size_t>> stack;
        for (auto it = roots.rbegin(); it != roots.rend(); ++it) stack.emplace_back(*it, doc_root ? 0 : 1);
        while (!stack.empty()) {
            const auto [at, depth] = stack.back();
            stack.pop_back();
            if (visited[at]) continue;
            visited[at] = true;
            const Point& p = points_[at];
            if (depth > 0) {
                if (!is_content(p)) continue;
                if (!p.text.empty())
                    out.items.emplace_back(static_cast<std::uint8_t>(std::min<std::size_t>(depth - 1, 255)), p.text);
            }
            for (std::size_t k = first[at + 1]; k > first[at]; --k) {
                const std::size_t child = edges[k - 1].dest;
                if (!visited[child]) stack.emplace_back(child, depth + 1);
            }
        }
        return out;
    }

private:
    static bool is_content(std::string_view type) { return type == "node" || type == "asst"; }
    static bool is_content(const Point& p) { return is_content(p.type); }

    // The decoded value, kept alive as long as the parser.
    std::string_view keep(std::string_view raw) {
        std::string scratch;
        const std::string_view v = xml::attr_value(raw, scratch);
        if (v.data() != scratch.data()) return v;
        return decoded_.emplace_back(std::move(scratch));
    }

    template <class Fn>
    xml::Status each(Fn&& fn) {
        return mce::children_inner(r_, [&](xml::Reader&, const xml::Start& s) { return fn(s); }, true);
    }

    xml::Status point(const xml::Start& s) {
        if (!s.is(DIAGRAM, "pt")) return {};
        Point p;
        p.type = "node";
        for (xml::Attrs it(r_, s); auto a = it.next();) {
            if (a->ns != NONE) continue;
            if (a->name.local == "modelId") p.id = keep(a->value);
            else if (a->name.local == "type") p.type = keep(a->value);
        }
        // Only content points are ever shown: the others (mostly layout
        // bookkeeping, with large property sets) are skipped whole.
        if (!is_content(p)) {
            points_.push_back(std::move(p));
            return {};
        }
        auto st = each([&](const xml::Start& c) -> xml::Status {
            if (!c.is(DIAGRAM, "t")) return {};
            return body_text(p.text);
        });
        if (st) points_.push_back(std::move(p));
        return st;
    }

    // The text of a DrawingML text body as the slide parser's plain detail
    // would give it: paragraphs joined by "\n", a line break as "\n",
    // written straight into `out` without building paragraphs and runs.
    xml::Status body_text(std::string& out) {
        bool first = true;
        return each([&](const xml::Start& p) -> xml::Status {
            if (!p.is(DML, "p")) return {};
            if (!first) out += '\n';
            first = false;
            return each([&](const xml::Start& run) -> xml::Status {
                if (run.ns != DML) return {};
                const std::string_view n = run.name.local;
                if (n == "br") {
                    out += '\n';
                    return {};
                }
                if (n != "r" && n != "fld") return {};
                return each([&](const xml::Start& t) -> xml::Status {
                    if (t.is(DML, "t")) return r_.read_text(out);
                    return {};
                });
            });
        });
    }

    xml::Status connection(const xml::Start& s) {
        if (!s.is(DIAGRAM, "cxn")) return {};
        std::string_view type = "parOf", src, dest, order;
        for (xml::Attrs it(r_, s); auto a = it.next();) {
            if (a->ns != NONE) continue;
            const std::string_view n = a->name.local;
            if (n == "type") type = a->value;
            else if (n == "srcId") src = a->value;
            else if (n == "destId") dest = a->value;
            else if (n == "srcOrd") order = a->value;
        }
        std::string scratch;
        if (xml::attr_value(type, scratch) != "parOf") return {};
        Connection c;
        c.src = keep(src);
        c.dest = keep(dest);
        if (order.data()) c.order = pml::value::uint64(xml::attr_value(order, scratch)).value_or(0);
        connections_.push_back(c);
        return {};
    }

    xml::Reader& r_;
    std::vector<Point> points_;
    std::vector<Connection> connections_;
    std::deque<std::string> decoded_;
};

} // namespace

Result<DiagramData> parse(std::string_view text, std::string_view part) {
    DiagramData out;
    auto res = xml::parse_root(text, part, [&](xml::Reader& r, const xml::Start& root) -> xml::Status {
        if (!root.is(DIAGRAM, "dataModel")) return r.skip();
        Parser p(r);
        xml::Status st = p.data_model();
        if (st) out = p.outline();
        return st;
    });
    if (!res) return fail(std::move(res.error()));
    return out;
}

} // namespace vantrell_core::diagram
