#include "common/inherited_handles.h"

#include <utility>

namespace varnelo {

InheritedHandleList::~InheritedHandleList() {
  if (initialized_) ::DeleteProcThreadAttributeList(list());
}

bool InheritedHandleList::Build(std::vector<HANDLE> handles) {
  handles_ = std::move(handles);
  SIZE_T size = 0;
  ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  buffer_.assign(size, 0);
  if (size == 0 || !::InitializeProcThreadAttributeList(list(), 1, 0, &size)) return false;
  initialized_ = true;
  return ::UpdateProcThreadAttribute(list(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                     handles_.size() * sizeof(HANDLE), nullptr, nullptr) != FALSE;
}

}  // namespace varnelo
