#include "index/interfaces/query.h"

#include <algorithm>
#include <cstddef>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "index/interfaces/classes.h"
#include "module/binding.h"

namespace veldrake {
namespace {

// Trees are shared: an expression passed to not_/and_/or_ becomes an operand of the new tree.
struct QueryExprObject {
  PyObject_HEAD SharedExpr inner;
};

QueryExprObject* as_object(PyObject* object) {
  return reinterpret_cast<QueryExprObject*>(object);
}

// The class; throws PythonError when it could not be created.
PyTypeObject* checked_type() {
  PyTypeObject* type = query_expr_type();
  throw_if_failed(type != nullptr);
  return type;
}

OwnedRef new_query_expr(QueryExpr expr) {
  PyTypeObject* type = checked_type();
  // Made before the object, so that no half-built object ever reaches dealloc.
  SharedExpr shared = std::make_shared<QueryExpr>(std::move(expr));
  OwnedRef object = checked(PyType_GenericAlloc(type, 0));
  new (&as_object(object.get())->inner) SharedExpr(std::move(shared));
  return object;
}

void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  as_object(self)->inner.~SharedExpr();
  type->tp_free(self);
  // Every instance of a heap type holds a reference to its type.
  Py_DECREF(type);
}

PyObject* repr(PyObject* self) {
  return guarded_object([&] {
    const std::string text = "<QueryExpr: " + as_object(self)->inner->debug_string() + ">";
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
    return as_object(expr)->inner;
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
PyObject* compare(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_object([&] {
    PyObject* argv[2];
    parse_arguments(args, kwargs, name.text, {"attr", "value"}, argv);
    return new_query_expr(QueryExpr{Node{{attr_argument(argv[0]), PyValue::for_operand(argv[1])}}});
  });
}

PyObject* between(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_object([&] {
    PyObject* argv[3];
    parse_arguments(args, kwargs, "bt", {"attr", "lower", "upper"}, argv);
    return new_query_expr(QueryExpr{
        Bt{attr_argument(argv[0]), PyValue::for_operand(argv[1]), PyValue::for_operand(argv[2])}});
  });
}

PyObject* any_of(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_object([&] {
    PyObject* argv[2];
    parse_arguments(args, kwargs, "in_", {"attr", "values"}, argv);
    return new_query_expr(QueryExpr{In{attr_argument(argv[0]), values_argument(argv[1])}});
  });
}

PyObject* negate(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_object([&] {
    PyObject* argv[1];
    parse_arguments(args, kwargs, "not_", {"exprs"}, argv);
    return new_query_expr(QueryExpr{Not{expr_argument(argv[0])}});
  });
}

// and_/or_: the trees of all positional arguments.
template <class Node>
PyObject* combine(PyObject*, PyObject* args) {
  return guarded_object([&] {
    const Py_ssize_t count = PyTuple_Size(args);
    std::vector<SharedExpr> exprs;
    exprs.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) exprs.push_back(expr_argument(PyTuple_GetItem(args, i)));
    return new_query_expr(QueryExpr{Node{std::move(exprs)}});
  });
}

// a & b and a | b: and_(a, b) and or_(a, b); other operands are left to Python.
template <class Node>
PyObject* combine_pair(PyObject* a, PyObject* b) {
  return guarded_object([&] {
    if (!is_query_expr(a) || !is_query_expr(b)) return OwnedRef::borrow(Py_NotImplemented);
    return new_query_expr(
        QueryExpr{Node{std::vector<SharedExpr>{as_object(a)->inner, as_object(b)->inner}}});
  });
}

// ~a: not_(a).
PyObject* invert(PyObject* a) {
  return guarded_object([&] { return new_query_expr(QueryExpr{Not{as_object(a)->inner}}); });
}

constexpr int kKeywordMethod = METH_VARARGS | METH_KEYWORDS | METH_STATIC;
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

bool is_query_expr(PyObject* object) {
  return Py_TYPE(object) == checked_type();
}

const QueryExpr& query_expr_of(PyObject* object) {
  check(is_query_expr(object), "query_expr_of called on an object that is no PyQueryExpr");
  return *as_object(object)->inner;
}

const QueryExpr& to_query_expr(PyObject* object) {
  if (!is_query_expr(object)) raise_not_convertible(object, "PyQueryExpr");
  return *as_object(object)->inner;
}

PyTypeObject* query_expr_type() {
  static ProcessObject type;
  return reinterpret_cast<PyTypeObject*>(type.get([] {
    static PyType_Slot slots[] = {
        {Py_tp_new, slot_entry(no_constructor)},
        {Py_tp_dealloc, slot_entry(dealloc)},
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
                                     static_cast<int>(sizeof(QueryExprObject)), 0,
                                     Py_TPFLAGS_DEFAULT, slots};
    return OwnedRef::steal(reinterpret_cast<PyObject*>(create_type(definition, "PyQueryExpr")));
  }));
}

}  // namespace veldrake
