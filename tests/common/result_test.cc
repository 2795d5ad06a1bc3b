// Result<T, E> and QWW_TRY: the value and error paths, moves, and propagation.
#include "common/result.h"

#include <memory>
#include <string>

#include <gtest/gtest.h>

namespace quelt {
namespace {

Result<int, std::string> parse_digit(char c) {
  if (c < '0' || c > '9') return Unexpected{std::string("not a digit")};
  return c - '0';
}

Result<int, std::string> sum_digits(char a, char b) {
  QWW_TRY(int x, parse_digit(a));
  QWW_TRY(int y, parse_digit(b));
  return x + y;
}

TEST(Result, CarriesValueOrError) {
  auto ok = parse_digit('7');
  ASSERT_TRUE(ok.has_value());
  EXPECT_EQ(ok.value(), 7);
  auto bad = parse_digit('x');
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error(), "not a digit");
}

TEST(Result, TryPropagatesFirstError) {
  EXPECT_EQ(sum_digits('2', '3').value(), 5);
  EXPECT_EQ(sum_digits('2', 'q').error(), "not a digit");
}

TEST(Result, HoldsMoveOnlyValues) {
  Result<std::unique_ptr<int>, int> r(std::make_unique<int>(4));
  std::unique_ptr<int> p = std::move(r).value();
  EXPECT_EQ(*p, 4);
}

}  // namespace
}  // namespace quelt
