#include "index/interfaces/query.h"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "index/core/python/binding.h"
#include "index/interfaces/arguments.h"
#include "index/interfaces/classes.h"
#include "index/interfaces/heap_types.h"

namespace veldrake {
namespace {

// The C++ part of a PyQueryExpr object. Trees are shared: not_, and_ and or_ make the trees they
// combine operands of the new tree, and keep the combined objects as well. A comparison's values
// were made for its own object, which reports them to the cycle collector; a combination reports
// the objects it combines instead: each reference is reported by the one object that owns it.
struct ExprHandle {
  SharedExpr expr;  // null once cleared by the cycle collector
  std::vector<OwnedRef> operands;
};

const SharedExpr& shared_expr_of(PyObject* self) {
  const SharedExpr& expr = native_of<ExprHandle>(self).expr;
  check(expr != nullptr, "the query expression was cleared by the cycle collector");
  return expr;
}

// The class; throws PythonError when it could not be created.
PyTypeObject* checked_type() {
  PyTypeObject* type = query_expr_type();
  throw_if_failed(type != nullptr);
  return type;
}

bool is_query_expr(PyObject* object) {
  return Py_TYPE(object) == checked_type();
}

OwnedRef new_query_expr(QueryExpr expr, std::vector<OwnedRef> operands = {}) {
  return new_native_object(checked_type(), ExprHandle{std::make_shared<QueryExpr>(std::move(expr)),
                                                      std::move(operands)});
}

// Reports the objects of a comparison's values (any depth of container).
int visit_values(const std::vector<const PyValue*>& values, visitproc visit, void* arg) {
  for (const PyValue* value : values) {
    Py_VISIT(value->object());
    for (const PyValue& element : value->element_cells()) Py_VISIT(element.object());
  }
  return 0;
}

int traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  const ExprHandle& handle = native_of<ExprHandle>(self);
  for (const OwnedRef& operand : handle.operands) Py_VISIT(operand.get());
  if (!handle.expr) return 0;
  std::vector<const PyValue*> values;
  std::visit(
      [&](const auto& node) {
        using Node = std::decay_t<decltype(node)>;
        if constexpr (std::is_base_of_v<Comparison, Node>) {
          values.push_back(&node.value);
        } else if constexpr (std::is_same_v<Node, Bt>) {
          values = {&node.lower, &node.upper};
        } else if constexpr (std::is_same_v<Node, In>) {
          for (const PyValue& value : node.values) values.push_back(&value);
        }
      },
      handle.expr->node);
  return visit_values(values, visit, arg);
}

int clear(PyObject* self) {
  ExprHandle& handle = native_of<ExprHandle>(self);
  // Moved out first, so that the fields are empty before any reference goes.
  SharedExpr expr = std::exchange(handle.expr, nullptr);
  std::vector<OwnedRef> operands = std::exchange(handle.operands, {});
  return 0;
}

void dealloc(PyObject* self) {
  delete_native_object<ExprHandle>(self);
}

PyObject* repr(PyObject* self) {
  return guarded_object([&] {
    const std::string text = "<QueryExpr: " + shared_expr_of(self)->debug_string() + ">";
    return checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  });
}

[[noreturn]] void raise_not_convertible(PyObject* object, const char* target) {
  raise_type_error(std::string("'") + Py_TYPE(object)->tp_name +
                   "' object cannot be converted to '" + target + "'");
}

// Argument converters. Each reports a wrong type as a TypeError naming its parameter.

ShortText attr_argument(PyObject* object) {
  return convert_argument("attr", object,
                          [](PyObject* attr) { return ShortText(text_argument(attr)); });
}

// A sequence of values; a str is refused although it is a sequence, as its characters are
// almost never what the caller meant.
std::vector<PyValue> values_argument(PyObject* object) {
  return convert_argument("values", object, [](PyObject* values) {
    if (PyUnicode_Check(values)) raise_type_error("Can't extract `str` to `Vec`");
    if (!PySequence_Check(values)) raise_not_convertible(values, "Sequence");
    OwnedRef iterator = checked(PyObject_GetIter(values));
    std::vector<PyValue> result;
    while (OwnedRef item = OwnedRef::steal(PyIter_Next(iterator.get()))) {
      result.push_back(PyValue::for_operand(item.get()));
    }
    throw_if_failed(!PyErr_Occurred());
    return result;
  });
}

SharedExpr expr_argument(PyObject* object) {
  return convert_argument("exprs", object, [](PyObject* expr) {
    to_query_expr(expr);  // checks the type
    return shared_expr_of(expr);
  });
}

// The static methods. Their arguments are converted inside braced initialisers, which evaluate
// left to right, so the first bad argument is the one reported.

// A method name usable as a template argument.
template <std::size_t N>
struct MethodName {
  constexpr MethodName(const char (&name)[N]) { std::copy_n(name, N, text); }
  char text[N];
};

template <class Node, MethodName name>
PyObject* compare(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_object([&] {
    PyObject* argv[2];
    parse_arguments(args, nargs, kwnames, name.text, {"attr", "value"}, argv);
    return new_query_expr(QueryExpr{Node{{attr_argument(argv[0]), PyValue::for_operand(argv[1])}}});
  });
}

PyObject* between(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_object([&] {
    PyObject* argv[3];
    parse_arguments(args, nargs, kwnames, "bt", {"attr", "lower", "upper"}, argv);
    return new_query_expr(QueryExpr{
        Bt{attr_argument(argv[0]), PyValue::for_operand(argv[1]), PyValue::for_operand(argv[2])}});
  });
}

PyObject* any_of(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_object([&] {
    PyObject* argv[2];
    parse_arguments(args, nargs, kwnames, "in_", {"attr", "values"}, argv);
    return new_query_expr(QueryExpr{In{attr_argument(argv[0]), values_argument(argv[1])}});
  });
}

// not_(object). The new expression keeps `object`, for the collector.
OwnedRef negated(PyObject* object) {
  QueryExpr negation{Not{expr_argument(object)}};
  std::vector<OwnedRef> operands;
  operands.push_back(OwnedRef::new_reference(object));
  return new_query_expr(std::move(negation), std::move(operands));
}

// and_/or_ of `objects`. The new expression keeps them, for the collector.
template <class Node>
OwnedRef combined(const std::vector<PyObject*>& objects) {
  std::vector<SharedExpr> exprs;
  std::vector<OwnedRef> operands;
  exprs.reserve(objects.size());
  operands.reserve(objects.size());
  for (PyObject* object : objects) {
    exprs.push_back(expr_argument(object));
    operands.push_back(OwnedRef::new_reference(object));
  }
  return new_query_expr(QueryExpr{Node{std::move(exprs)}}, std::move(operands));
}

PyObject* negate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_object([&] {
    PyObject* argv[1];
    parse_arguments(args, nargs, kwnames, "not_", {"exprs"}, argv);
    return negated(argv[0]);
  });
}

// and_/or_: the trees of all positional arguments.
template <class Node>
PyObject* combine(PyObject*, PyObject* args) {
  return guarded_object([&] {
    const Py_ssize_t count = PyTuple_Size(args);
    std::vector<PyObject*> objects;
    objects.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) objects.push_back(PyTuple_GetItem(args, i));
    return combined<Node>(objects);
  });
}

// a & b and a | b: and_(a, b) and or_(a, b); other operands are left to Python.
template <class Node>
PyObject* combine_pair(PyObject* a, PyObject* b) {
  return guarded_object([&] {
    if (!is_query_expr(a) || !is_query_expr(b)) return OwnedRef::new_reference(Py_NotImplemented);
    return combined<Node>({a, b});
  });
}

// ~a: not_(a).
PyObject* invert(PyObject* a) {
  return guarded_object([&] { return negated(a); });
}

constexpr int kKeywordMethod = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;
constexpr int kPositionalMethod = METH_VARARGS | METH_STATIC;

// Each docstring is the text signature alone ("name(params)\n--\n\n").
PyMethodDef methods[] = {
    {"eq", method_entry(compare<Eq, "eq">), kKeywordMethod, "eq(attr, value)\n--\n\n"},
    {"ne", method_entry(compare<Ne, "ne">), kKeywordMethod, "ne(attr, value)\n--\n\n"},
    {"gt", method_entry(compare<Gt, "gt">), kKeywordMethod, "gt(attr, value)\n--\n\n"},
    {"ge", method_entry(compare<Ge, "ge">), kKeywordMethod, "ge(attr, value)\n--\n\n"},
    {"lt", method_entry(compare<Lt, "lt">), kKeywordMethod, "lt(attr, value)\n--\n\n"},
    {"le", method_entry(compare<Le, "le">), kKeywordMethod, "le(attr, value)\n--\n\n"},
    {"bt", method_entry(between), kKeywordMethod, "bt(attr, lower, upper)\n--\n\n"},
    {"in_", method_entry(any_of), kKeywordMethod, "in_(attr, values)\n--\n\n"},
    {"and_", method_entry(combine<And>), kPositionalMethod, "and_(*exprs)\n--\n\n"},
    {"or_", method_entry(combine<Or>), kPositionalMethod, "or_(*exprs)\n--\n\n"},
    {"not_", method_entry(negate), kKeywordMethod, "not_(exprs)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

const QueryExpr& to_query_expr(PyObject* object) {
  if (!is_query_expr(object)) raise_not_convertible(object, "PyQueryExpr");
  return *shared_expr_of(object);
}

PyTypeObject* query_expr_type() {
  static ProcessObject type;
  return reinterpret_cast<PyTypeObject*>(type.get([] {
    static PyType_Slot slots[] = {
        {Py_tp_new, slot_entry(no_constructor)},
        {Py_tp_dealloc, slot_entry(dealloc)},
        {Py_tp_traverse, slot_entry(traverse)},
        {Py_tp_clear, slot_entry(clear)},
        {Py_tp_repr, slot_entry(repr)},
        {Py_tp_methods, methods},
        {Py_nb_and, slot_entry(combine_pair<And>)},
        {Py_nb_or, slot_entry(combine_pair<Or>)},
        {Py_nb_invert, slot_entry(invert)},
        {Py_tp_doc, const_cast<char*>("")},
        {0, nullptr},
    };
    // No Py_TPFLAGS_BASETYPE: the class cannot be subclassed.
    static PyType_Spec definition = {"Veldrake.PyQueryExpr",
                                     static_cast<int>(sizeof(NativeObject<ExprHandle>)), 0,
                                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
    return OwnedRef::steal(reinterpret_cast<PyObject*>(create_type(definition, "PyQueryExpr")));
  }));
}

}  // namespace veldrake
