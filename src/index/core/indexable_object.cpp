#include "index/core/indexable_object.h"

namespace veldrake {

std::atomic<PyTypeObject*> indexable_object_detail::g_indexable_type{nullptr};

void register_indexable_type(PyTypeObject* type) {
  if (registered_indexable_type() != type)
    indexable_object_detail::g_indexable_type.store(type, std::memory_order_release);
}

}  // namespace veldrake
