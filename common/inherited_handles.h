// Process creation that hands a child only the handles named for it.
#pragma once

#include <windows.h>

#include <vector>

namespace varnelo {

// A PROC_THREAD_ATTRIBUTE_HANDLE_LIST naming the only handles a child may inherit.
class InheritedHandleList {
 public:
  InheritedHandleList() = default;
  ~InheritedHandleList();
  InheritedHandleList(const InheritedHandleList&) = delete;
  InheritedHandleList& operator=(const InheritedHandleList&) = delete;

  // False with the last error set when the list cannot be built.
  bool Build(std::vector<HANDLE> handles);
  LPPROC_THREAD_ATTRIBUTE_LIST list() {
    return reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer_.data());
  }

 private:
  std::vector<HANDLE> handles_;  // the attribute points into this
  std::vector<unsigned char> buffer_;
  bool initialized_ = false;
};

}  // namespace varnelo
