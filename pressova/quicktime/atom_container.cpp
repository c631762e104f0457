// Atom containers: an in-memory tree of typed atoms with ids.
#include <algorithm>

#include "pressova/quicktime/service.h"

namespace {

bool AtomAlive(const AtomContainerRecord& container, QTAtom atom) {
  return atom >= 0 && size_t(atom) < container.nodes.size();
}

}  // namespace

OSErr QTNewAtomContainer(QTAtomContainer* container) {
  if (!ServiceRunning()) return qtmlUninitialized;
  if (!container) return paramErr;
  auto record = std::make_unique<AtomContainerRecord>();
  record->nodes.emplace_back();  // the container itself
  *container = record.get();
  Service().containers.push_back(std::move(record));
  return noErr;
}

OSErr QTDisposeAtomContainer(QTAtomContainer container) {
  if (!ServiceRunning()) return qtmlUninitialized;
  auto& containers = Service().containers;
  for (size_t i = 0; i < containers.size(); ++i)
    if (containers[i].get() == container) {
      containers.erase(containers.begin() + long(i));
      return noErr;
    }
  return paramErr;
}

OSErr QTNextChildAnyType(QTAtomContainer container, QTAtom parent, QTAtom current, QTAtom* next) {
  if (!ServiceRunning()) return qtmlUninitialized;
  if (!next) return paramErr;
  *next = 0;
  if (!ContainerAlive(container) || !AtomAlive(*container, parent)) return paramErr;
  const auto& children = container->nodes[size_t(parent)].children;
  if (current == 0) {
    if (!children.empty()) *next = children.front();
    return noErr;
  }
  auto at = std::find(children.begin(), children.end(), current);
  if (at == children.end()) return paramErr;
  if (++at != children.end()) *next = *at;
  return noErr;
}

OSErr QTGetAtomTypeAndID(QTAtomContainer container, QTAtom atom, QTAtomType* type, QTAtomID* id) {
  if (!ServiceRunning()) return qtmlUninitialized;
  if (!ContainerAlive(container) || atom == 0 || !AtomAlive(*container, atom)) return paramErr;
  const AtomNode& node = container->nodes[size_t(atom)];
  if (type) *type = node.type;
  if (id) *id = node.id;
  return noErr;
}

OSErr QTGetAtomDataPtr(QTAtomContainer container, QTAtom atom, int32_t* dataSize, char** data) {
  if (!ServiceRunning()) return qtmlUninitialized;
  if (!ContainerAlive(container) || atom == 0 || !AtomAlive(*container, atom)) return paramErr;
  AtomNode& node = container->nodes[size_t(atom)];
  // An atom with children holds no data of its own.
  bool leaf = node.children.empty();
  if (dataSize) *dataSize = leaf ? int32_t(node.data.size()) : 0;
  if (data) *data = leaf && !node.data.empty() ? node.data.data() : nullptr;
  return noErr;
}

OSErr QTInsertChild(QTAtomContainer container, QTAtom parent, QTAtomType type, QTAtomID id, int16_t index,
                    int32_t dataSize, const void* data, QTAtom* newAtom) {
  if (!ServiceRunning()) return qtmlUninitialized;
  if (newAtom) *newAtom = 0;
  if (!ContainerAlive(container) || !AtomAlive(*container, parent) || dataSize < 0) return paramErr;
  if (dataSize > 0 && !data) return paramErr;
  auto& nodes = container->nodes;
  if (parent != 0 && !nodes[size_t(parent)].data.empty()) return paramErr;  // a leaf with data
  auto& siblings = nodes[size_t(parent)].children;
  // Index 0 appends; index k (from 1) puts the atom k-th among its siblings.
  if (index < 0 || size_t(index) > siblings.size() + 1) return paramErr;
  AtomNode node;
  node.type = type;
  node.id = id;
  node.parent = parent;
  if (dataSize > 0) node.data.assign(static_cast<const char*>(data), size_t(dataSize));
  QTAtom atom = QTAtom(nodes.size());
  nodes.push_back(std::move(node));
  auto& children = nodes[size_t(parent)].children;  // nodes may have moved
  if (index == 0) children.push_back(atom);
  else children.insert(children.begin() + (index - 1), atom);
  if (newAtom) *newAtom = atom;
  return noErr;
}
