#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "index/indexable.h"
#include "index/value.h"
#include "python_eval.h"

namespace veldrake {
namespace {

using testing::evaluate;

PyValue value_of(const char* statements, const char* expression) {
  OwnedRef object = evaluate(statements, expression);
  return PyValue::from_object(object.get());
}
PyValue value_of(const char* expression) {
  return value_of("", expression);
}

// The part of debug_string that names the primitive, e.g. "Int(5)".
std::string primitive_text(const PyValue& value) {
  std::string text = value.debug_string();
  std::size_t start = text.find("primitave: ") + 11;
  return text.substr(start, text.find(", hash:") - start);
}

std::vector<std::string> element_texts(const PyValue& value) {
  std::vector<std::string> texts;
  for (const PyValue& element : value.elements()) texts.push_back(primitive_text(element));
  return texts;
}

TEST(PyValueKeys, NumbersOfDifferentKindsAreDistinctKeys) {
  PyValue one = value_of("1");
  PyValue one_float = value_of("1.0");
  PyValue truth = value_of("True");
  EXPECT_NE(one.hash(), one_float.hash());
  EXPECT_NE(one.hash(), truth.hash());
  EXPECT_NE(one_float.hash(), truth.hash());
  EXPECT_FALSE(one == one_float);
  EXPECT_FALSE(one == truth);
  EXPECT_TRUE(one == value_of("int('1')"));
  EXPECT_TRUE(value_of("2.5") == value_of("float('2.5')"));
  EXPECT_TRUE(truth == value_of("1 == 1"));
  EXPECT_FALSE(value_of("0.0") == value_of("-0.0"));
  EXPECT_EQ(value_of("-7").hash(), PyValue::from_primitive(int64_t{-7}).hash());
}

TEST(PyValueKeys, TextComparesByBytesInlineOrShared) {
  EXPECT_TRUE(value_of("'abc'") == value_of("'ab' + 'c'"));
  EXPECT_FALSE(value_of("'abc'") == value_of("'abd'"));
  const char* long_text = "'a text too long to be kept inline ' * 3";
  EXPECT_TRUE(value_of(long_text) == value_of(long_text));
  EXPECT_TRUE(value_of("'é'") == PyValue::from_primitive(ShortText("\xc3\xa9")));
}

TEST(PyValueKeys, ValuesWithoutANumberOrTextCompareByIdentity) {
  PyValue nan = value_of("float('nan')");
  EXPECT_FALSE(nan == nan);
  PyValue none = value_of("None");
  EXPECT_FALSE(none == none);

  PyValue list = value_of("x = [1, 2]", "x");
  PyValue copy = list;
  EXPECT_TRUE(list == copy);
  EXPECT_FALSE(list == value_of("x = [1, 2]", "x"));

  OwnedRef object = evaluate("Indexable()");
  PyValue stored = PyValue::from_object(object.get());
  EXPECT_TRUE(stored == PyValue::from_object(object.get()));
  EXPECT_FALSE(stored == value_of("Indexable()"));
  EXPECT_EQ(std::get<StoredIndexable>(stored.primitive()).id(), record_of(object.get()).id);
}

TEST(PyValueFlattening, CollectsLeavesAtAnyDepthAndSkipsDicts) {
  PyValue value = value_of("[1, (2, [3, {4: 5}]), {6}, 'seven', {'k': 8}]");
  EXPECT_EQ(value.kind(), ValueKind::Iterable);
  EXPECT_EQ(std::get<IterableValue>(value.primitive()), IterableValue::List);
  EXPECT_EQ(element_texts(value),
            (std::vector<std::string>{"Int(1)", "Int(2)", "Int(3)", "Int(6)", "Str(\"seven\")"}));
  EXPECT_FALSE(value.involves_indexable());
  EXPECT_TRUE(value_of("{'a': [1]}").elements().empty());
  EXPECT_TRUE(value_of("[[], ()]").elements().empty());
  PyValue holding = value_of("[1, (Indexable(),)]");
  EXPECT_TRUE(holding.involves_indexable());
  EXPECT_EQ(holding.elements()[1].kind(), ValueKind::Ind);
}

TEST(PyValueFlattening, ContainersHoldingThemselvesAreEnteredOnce) {
  EXPECT_EQ(value_of("x = [1]\nx.append(x)\nx.append(2)", "x").elements().size(), 2u);
  EXPECT_EQ(value_of("a = [1]\nb = (a, 2)\na.append(b)", "b").elements().size(), 2u);
  // The same list twice side by side is not a cycle.
  EXPECT_EQ(value_of("a = [1]", "[a, a]").elements().size(), 2u);
}

TEST(PyValueFlattening, ValuesThatCannotBeTakenFailTheWhole) {
  for (const char* expression : {"2**63", "-2**63 - 1", "'\\ud800'", "[1, (2, 2**64)]"}) {
    try {
      value_of(expression);
      ADD_FAILURE() << expression << " was taken";
    } catch (const InternalError& error) {
      EXPECT_EQ(std::string(error.what()).rfind("type checked", 0), 0u) << error.what();
    }
    EXPECT_EQ(PyErr_Occurred(), nullptr) << expression;
  }
  EXPECT_EQ(primitive_text(value_of("-2**63")), "Int(-9223372036854775808)");
}

TEST(PyValueObjects, PrimitivesAreRebuiltAndOthersReturnedAsThemselves) {
  for (const char* expression : {"-5", "2.5", "'text'", "'a text too long to be kept inline'"}) {
    OwnedRef original = evaluate(expression);
    OwnedRef back = PyValue::from_object(original.get()).to_object();
    EXPECT_EQ(Py_TYPE(back.get()), Py_TYPE(original.get())) << expression;
    EXPECT_EQ(PyObject_RichCompareBool(back.get(), original.get(), Py_EQ), 1) << expression;
  }
  EXPECT_EQ(value_of("False").to_object().get(), Py_False);
  OwnedRef list = evaluate("[1]");
  EXPECT_EQ(PyValue::from_object(list.get()).to_object().get(), list.get());
  EXPECT_THROW(PyValue().to_object(), InternalError);
}

TEST(PyValueDebug, NamesTheVariantAndItsPayload) {
  const std::pair<const char*, const char*> cases[] = {
      {"5", "Int(5)"},
      {"5.0", "Float(5.0)"},
      {"0.1", "Float(0.1)"},
      {"True", "Bool(true)"},
      {"1e300", "Float(1e+300)"},
      {"(1,)", "Iterable(Tuple)"},
      {"None", "Unknown"},
      {"'a\"b\\n'", "Str(\"a\\\"b\\n\")"},
  };
  for (const auto& [expression, text] : cases) {
    EXPECT_EQ(primitive_text(value_of(expression)), text) << expression;
  }
  PyValue bare = PyValue::from_primitive(int64_t{3});
  EXPECT_EQ(bare.debug_string(),
            "PyValue { obj: None, primitave: Int(3), hash: " + std::to_string(bare.hash()) + " }");
}

}  // namespace
}  // namespace veldrake
