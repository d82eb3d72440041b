#pragma once

namespace vorla::engine {

// What a right click was over, as type flags.
class ContextMenuParams {
 public:
  enum TypeFlags {
    kTypeNone = 0,
    kTypePage = 1 << 0,
    kTypeFrame = 1 << 1,
    kTypeLink = 1 << 2,
    kTypeMedia = 1 << 3,
    kTypeSelection = 1 << 4,
    kTypeEditable = 1 << 5,
  };

  explicit ContextMenuParams(int typeFlags) : m_typeFlags(typeFlags) {}
  int GetTypeFlags() const { return m_typeFlags; }

 private:
  int m_typeFlags;
};

}  // namespace vorla::engine
