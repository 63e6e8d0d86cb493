// The directory of the tolerant reader: the properties, the tree built from their links,
// and path lookup.
//
// Bound: the tree is built without recursion from a list of pending links, and every
// property number is taken into the tree at most once (the root first). A link back to a
// property already in the tree (a property that is its own sibling or descendant, or one
// reached by two routes) is taken as no link, so the tree has at most one node per
// property and building it ends whatever the links say.

#include <algorithm>
#include <exception>
#include <utility>

#include "base/log.hpp"
#include "compound/compound_file.hpp"
#include "format/name_folding.hpp"

namespace tabulix {

bool CompoundFile::LoadProperties() {
  try {
    properties_.clear();
    nodes_.clear();
    current_ = PropertyNode::kNone;
    // Bounded: the directory chain never runs beyond the file.
    std::vector<std::uint8_t> directory(ChainBytes(header_.directoryStart_, BlockTable::Bat), 0);
    ReadChainData(header_.directoryStart_, BlockTable::Bat, directory);
    const std::size_t blockSize = blockFile_.blockSize();
    for (std::size_t block = 0; block * blockSize < directory.size(); ++block) {
      for (std::size_t entry = 0; entry < blockSize / Property::kSize; ++entry) {
        Property property;
        if (!property.Decode(directory, block * blockSize + entry * Property::kSize)) break;
        // Unused entries (no name) stay in the list so that every entry keeps its number:
        // links name entries by their position in the directory, and in a damaged
        // directory a cleared entry can stand before entries still in use.
        properties_.push_back(std::move(property));
      }
    }
    if (properties_.empty()) return false;
    BuildTree();
    current_ = 0;
    return true;
  } catch (const std::exception&) {
    WriteLog(10031, 0, "ERROR: Could not Load Properties", true);
    return false;
  }
}

void CompoundFile::BuildTree() {
  nodes_.push_back(PropertyNode{PropertyNode::kNone, 0, 0, {}});
  // Unused entries are never taken into the tree: a link to one is no link.
  std::vector<bool> taken(properties_.size(), false);
  for (std::size_t k = 0; k < properties_.size(); ++k) taken[k] = properties_[k].name_.empty();
  taken[0] = true;
  // Pending links: (property number, node to insert it under).
  std::vector<std::pair<std::int32_t, std::size_t>> pending;
  pending.emplace_back(properties_[0].firstChild_, 0);
  while (!pending.empty()) {
    const auto [number, parent] = pending.back();
    pending.pop_back();
    // A number that is not that of a directory entry is no link.
    if (number < 0 || static_cast<std::size_t>(number) >= properties_.size()) continue;
    const auto k = static_cast<std::size_t>(number);
    if (taken[k]) continue;
    taken[k] = true;
    const std::size_t node = nodes_.size();
    nodes_.push_back(PropertyNode{parent, k, number, {}});
    // Siblings become fellow children of the same parent.
    pending.emplace_back(properties_[k].leftSibling_, parent);
    pending.emplace_back(properties_[k].rightSibling_, parent);
    pending.emplace_back(properties_[k].firstChild_, node);
    nodes_[parent].children_.push_back(node);
  }
  // Children in the order of their property numbers. Sorted once each list is complete:
  // finding each one's place as it came made a long chain of siblings quadratic.
  for (auto& node : nodes_) {
    std::sort(node.children_.begin(), node.children_.end(),
              [this](std::size_t a, std::size_t b) { return nodes_[a].index_ < nodes_[b].index_; });
  }
}

void CompoundFile::SplitPath(std::u16string_view path, std::u16string_view& directory,
                             std::u16string_view& name, bool& hasDirectory) {
  hasDirectory = false;
  directory = {};
  for (std::size_t i = path.size(); i-- > 1;) {
    if (path[i] == u'\\') {
      hasDirectory = true;
      directory = path.substr(0, i);
      name = path.substr(i + 1);
      return;
    }
  }
  name = !path.empty() && path[0] == u'\\' ? path.substr(1) : path;
}

std::size_t CompoundFile::ChildNamed(std::size_t node, std::u16string_view name) const {
  const auto& children = nodes_[node].children_;
  for (const std::size_t child : children) {
    if (PropertyOf(nodes_[child]).name_ == name) return child;
  }
  // The platform's structured storage finds names whatever their case, and some writers
  // store "WORKBOOK": without an exact match, a name differing only in case is the one meant.
  for (const std::size_t child : children) {
    if (SameNameIgnoringCase(PropertyOf(nodes_[child]).name_, name)) return child;
  }
  return PropertyNode::kNone;
}

int CompoundFile::ChangeDirectory(std::u16string_view path) {
  if (nodes_.empty()) return kMissingComponent;
  const std::size_t saved = current_;
  if (path == u".") return kOk;
  if (path == u"..") {
    if (current_ < nodes_.size() && nodes_[current_].parent_ != PropertyNode::kNone) {
      current_ = nodes_[current_].parent_;
    }
    return kOk;
  }
  if (!path.empty() && path[0] == u'\\') {
    current_ = 0;
    path.remove_prefix(1);
  }
  while (!path.empty()) {
    const std::size_t cut = path.find(u'\\');
    const std::u16string_view component = path.substr(0, cut);
    path = cut == std::u16string_view::npos ? std::u16string_view{} : path.substr(cut + 1);
    if (component.empty()) continue;
    const std::size_t child =
        current_ < nodes_.size() ? ChildNamed(current_, component) : PropertyNode::kNone;
    if (child == PropertyNode::kNone) {
      current_ = saved;
      return kMissingComponent;
    }
    current_ = child;
  }
  return kOk;
}

std::size_t CompoundFile::NodeForPath(std::u16string_view path) {
  if (nodes_.empty()) return PropertyNode::kNone;
  const std::size_t saved = current_;
  if (!path.empty() && path[0] == u'\\') current_ = 0;
  std::u16string_view directory;
  std::u16string_view name;
  bool hasDirectory = false;
  SplitPath(path, directory, name, hasDirectory);
  std::size_t found = PropertyNode::kNone;
  if ((!hasDirectory || ChangeDirectory(directory) == kOk) && current_ < nodes_.size() &&
      PropertyOf(nodes_[current_]).firstChild_ != -1) {
    found = ChildNamed(current_, name);
  }
  current_ = saved;
  return found;
}

const PropertyNode* CompoundFile::FindProperty(std::u16string_view path) {
  const std::size_t node = NodeForPath(path);
  if (node == PropertyNode::kNone) {
    WriteLog(10001, 0, "ERROR: Could not find property in compound file", true);
    return nullptr;
  }
  return &nodes_[node];
}

}  // namespace tabulix
