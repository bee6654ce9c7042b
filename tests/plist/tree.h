// A plain value tree for the codec's tests, with a builder that counts the
// handles it has out (so a read that fails can be seen to give every one
// back) and may share values as counted references.
#pragma once

#include "plist/plist.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace plisttest {

struct Node;
using NodePtr = std::shared_ptr<Node>;

struct Node {
    plist::Kind kind = plist::Kind::Bool;
    bool boolean = false;
    int64_t integer = 0;
    bool isUnsigned = false;
    double real = 0; // Real and Date
    bool single = false;
    std::string text; // String (UTF-8) and Data
    std::vector<NodePtr> items;
    std::vector<std::pair<std::string, NodePtr>> entries;
    bool invalid = false; // stands for a value that is no property list
};

// Deep equality; reals and dates bit for bit.
bool Equal(const Node& a, const Node& b);
// The same values, as other implementations keep them: reals by their value
// (the sign of a zero, and whether a real was held in 32 bits, left aside).
bool SameValue(const Node& a, const Node& b);

NodePtr Bool(bool value);
NodePtr Int(int64_t value);
NodePtr Unsigned(uint64_t value);
NodePtr Real(double value, bool single = false);
NodePtr Date(double seconds);
NodePtr Str(std::string utf8);
NodePtr Data(std::string bytes);
NodePtr Array(std::vector<NodePtr> items = {});
NodePtr Dict(std::vector<std::pair<std::string, NodePtr>> entries = {});

class TreeBuilder final : public plist::Builder {
  public:
    explicit TreeBuilder(bool shares = false) : m_shares(shares) {}

    Handle MakeBool(bool value) override { return Hold(Bool(value)); }
    Handle MakeInteger(int64_t value) override { return Hold(Int(value)); }
    Handle MakeUnsigned(uint64_t value) override { return Hold(Unsigned(value)); }
    Handle MakeReal(double value, bool single) override { return Hold(Real(value, single)); }
    Handle MakeDate(double seconds) override { return Hold(Date(seconds)); }
    Handle MakeData(const uint8_t* bytes, size_t size) override {
        return Hold(Data(std::string(reinterpret_cast<const char*>(bytes), size)));
    }
    Handle MakeString(std::string_view utf8) override { return Hold(Str(std::string(utf8))); }
    using plist::Builder::MakeString;
    Handle MakeArray(size_t) override { return Hold(Array()); }
    Handle MakeDict(size_t) override { return Hold(Dict()); }
    void Append(Handle array, Handle item) override;
    void SetEntry(Handle dict, Handle key, Handle value) override;
    bool EndDict(Handle dict) override;
    void Discard(Handle value) override { Take(value); }
    bool SharesValues() const override { return m_shares; }
    Handle Share(Handle value) override;

    // The root of a successful read, as a tree.
    NodePtr Take(Handle value);
    long live() const { return m_live; }
    long made() const { return m_made; }
    long shared() const { return m_shared; }

  private:
    Handle Hold(NodePtr node);

    bool m_shares;
    long m_live = 0;   // handles out
    long m_made = 0;   // values made
    long m_shared = 0; // Share calls
};

// Shows a tree to the writers.
class TreeSource final : public plist::Source {
  public:
    bool Describe(Handle value, Node* node) const override;
    Handle Item(Handle array, size_t index) const override;
    bool Key(Handle dict, size_t index, plist::Text* key) const override;
    Handle EntryValue(Handle dict, size_t index) const override;
};

// Reads through a TreeBuilder; null on failure (with `error` set), after
// checking that the builder has nothing left out.
NodePtr ReadTree(const std::string& bytes, bool shares = false, std::string* error = nullptr,
                 plist::Format* format = nullptr);
std::string WriteTree(plist::Format format, const NodePtr& root, bool* ok = nullptr);

// A readable dump for failure messages.
std::string Show(const Node& node);

} // namespace plisttest
