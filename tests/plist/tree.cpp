#include "tests/plist/tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <sstream>

namespace plisttest {

namespace {

NodePtr Make(plist::Kind kind) {
    auto node = std::make_shared<Node>();
    node->kind = kind;
    return node;
}

bool SameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

bool Compare(const Node& a, const Node& b, bool exact) {
    if (a.kind != b.kind)
        return false;
    switch (a.kind) {
    case plist::Kind::Bool:
        return a.boolean == b.boolean;
    case plist::Kind::Integer:
        return a.integer == b.integer && a.isUnsigned == b.isUnsigned;
    case plist::Kind::Real:
        return exact ? SameBits(a.real, b.real) && a.single == b.single : a.real == b.real;
    case plist::Kind::Date:
        return SameBits(a.real, b.real);
    case plist::Kind::String:
    case plist::Kind::Data:
        return a.text == b.text;
    case plist::Kind::Array:
        return a.items.size() == b.items.size() &&
               std::equal(a.items.begin(), a.items.end(), b.items.begin(),
                          [&](const NodePtr& x, const NodePtr& y) { return Compare(*x, *y, exact); });
    case plist::Kind::Dict:
        return a.entries.size() == b.entries.size() &&
               std::equal(a.entries.begin(), a.entries.end(), b.entries.begin(), [&](const auto& x, const auto& y) {
                   return x.first == y.first && Compare(*x.second, *y.second, exact);
               });
    }
    return false;
}

} // namespace

bool Equal(const Node& a, const Node& b) { return Compare(a, b, true); }

bool SameValue(const Node& a, const Node& b) { return Compare(a, b, false); }

NodePtr Bool(bool value) {
    NodePtr n = Make(plist::Kind::Bool);
    n->boolean = value;
    return n;
}

NodePtr Int(int64_t value) {
    NodePtr n = Make(plist::Kind::Integer);
    n->integer = value;
    return n;
}

NodePtr Unsigned(uint64_t value) {
    NodePtr n = Make(plist::Kind::Integer);
    n->integer = static_cast<int64_t>(value);
    n->isUnsigned = value > static_cast<uint64_t>(INT64_MAX);
    return n;
}

NodePtr Real(double value, bool single) {
    NodePtr n = Make(plist::Kind::Real);
    n->real = value;
    n->single = single;
    return n;
}

NodePtr Date(double seconds) {
    NodePtr n = Make(plist::Kind::Date);
    n->real = seconds;
    return n;
}

NodePtr Str(std::string utf8) {
    NodePtr n = Make(plist::Kind::String);
    n->text = std::move(utf8);
    return n;
}

NodePtr Data(std::string bytes) {
    NodePtr n = Make(plist::Kind::Data);
    n->text = std::move(bytes);
    return n;
}

NodePtr Array(std::vector<NodePtr> items) {
    NodePtr n = Make(plist::Kind::Array);
    n->items = std::move(items);
    return n;
}

NodePtr Dict(std::vector<std::pair<std::string, NodePtr>> entries) {
    NodePtr n = Make(plist::Kind::Dict);
    n->entries = std::move(entries);
    return n;
}

// ---- builder ---------------------------------------------------------------------------------------

plist::Builder::Handle TreeBuilder::Hold(NodePtr node) {
    auto* handle = new NodePtr(std::move(node));
    ++m_live;
    ++m_made;
    return handle;
}

plist::Builder::Handle TreeBuilder::Share(Handle value) {
    ++m_shared;
    ++m_live;
    return new NodePtr(*static_cast<NodePtr*>(value));
}

NodePtr TreeBuilder::Take(Handle value) {
    std::unique_ptr<NodePtr> holder(static_cast<NodePtr*>(value));
    --m_live;
    return *holder;
}

void TreeBuilder::Append(Handle array, Handle item) { (*static_cast<NodePtr*>(array))->items.push_back(Take(item)); }

void TreeBuilder::SetEntry(Handle dict, Handle key, Handle value) {
    std::string text = Take(key)->text;
    (*static_cast<NodePtr*>(dict))->entries.emplace_back(std::move(text), Take(value));
}

bool TreeBuilder::EndDict(Handle dict) {
    const auto& entries = (*static_cast<NodePtr*>(dict))->entries;
    for (size_t i = 0; i < entries.size(); ++i) {
        for (size_t j = i + 1; j < entries.size(); ++j) {
            if (entries[i].first == entries[j].first)
                return false;
        }
    }
    return true;
}

// ---- source ----------------------------------------------------------------------------------------

namespace {

const Node& At(plist::Source::Handle h) { return *static_cast<const Node*>(h); }

} // namespace

bool TreeSource::Describe(Handle value, Node* node) const {
    const plisttest::Node& n = At(value);
    if (n.invalid)
        return false;
    node->kind = n.kind;
    node->boolean = n.boolean;
    node->integer = n.integer;
    node->isUnsigned = n.isUnsigned;
    node->real = n.real;
    node->single = n.single;
    node->text.utf8 = n.text;
    node->bytes = n.text;
    node->count = n.kind == plist::Kind::Array ? n.items.size() : n.entries.size();
    return true;
}

plist::Source::Handle TreeSource::Item(Handle array, size_t index) const { return At(array).items[index].get(); }

bool TreeSource::Key(Handle dict, size_t index, plist::Text* key) const {
    key->utf8 = At(dict).entries[index].first;
    return true;
}

plist::Source::Handle TreeSource::EntryValue(Handle dict, size_t index) const {
    return At(dict).entries[index].second.get();
}

// ---- helpers ---------------------------------------------------------------------------------------

NodePtr ReadTree(const std::string& bytes, bool shares, std::string* error, plist::Format* format) {
    TreeBuilder builder(shares);
    plist::Builder::Handle root = nullptr;
    std::string why;
    const bool read = plist::Read(bytes.data(), bytes.size(), builder, &root, format, &why);
    if (error)
        *error = why;
    if (!read) {
        EXPECT_EQ(builder.live(), 0) << "a failed read gives back every handle: " << why;
        EXPECT_FALSE(why.empty());
        return nullptr;
    }
    EXPECT_EQ(builder.live(), 1) << "only the root is left out";
    return builder.Take(root);
}

std::string WriteTree(plist::Format format, const NodePtr& root, bool* ok) {
    std::string out = "untouched";
    const bool written = plist::Write(format, TreeSource(), root.get(), &out);
    if (ok)
        *ok = written;
    return out;
}

std::string Show(const Node& node) {
    std::ostringstream s;
    switch (node.kind) {
    case plist::Kind::Bool:
        s << (node.boolean ? "true" : "false");
        break;
    case plist::Kind::Integer:
        if (node.isUnsigned)
            s << static_cast<uint64_t>(node.integer) << "u";
        else
            s << node.integer;
        break;
    case plist::Kind::Real:
        s << node.real << (node.single ? "f" : "");
        break;
    case plist::Kind::Date:
        s << "date(" << node.real << ")";
        break;
    case plist::Kind::String:
        s << '"' << node.text << '"';
        break;
    case plist::Kind::Data:
        s << "data[" << node.text.size() << "]";
        break;
    case plist::Kind::Array:
        s << "[";
        for (const NodePtr& item : node.items)
            s << Show(*item) << ",";
        s << "]";
        break;
    case plist::Kind::Dict:
        s << "{";
        for (const auto& entry : node.entries)
            s << entry.first << ":" << Show(*entry.second) << ",";
        s << "}";
        break;
    }
    return s.str();
}

} // namespace plisttest
