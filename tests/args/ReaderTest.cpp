#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "args/Arguments.h"

namespace {

using args::Reader;

// Each argument as the reader splits it: its name, then "|VALUE" when a value was attached.
std::vector<std::string> split(std::vector<std::string> arguments, Reader::Dashes dashes) {
  Reader reader(std::move(arguments), dashes);
  std::vector<std::string> seen;
  while (reader.next()) {
    std::string name = reader.name();
    if (reader.attached()) name += "|" + reader.value().value_or("?");
    seen.push_back(name);
  }
  return seen;
}

TEST(Reader, SplitsAtTheFirstEqualsSignOnlyWhereTheDashesSayAnOptionIs) {
  const std::vector<std::string> arguments = {
      "--ports=a=b", "-platform=offscreen", "-", "--", "--=x", "-=", "plain=word"};
  EXPECT_EQ(split(arguments, Reader::Dashes::Two),
            (std::vector<std::string>{"--ports|a=b", "-platform=offscreen", "-", "--", "--|x",
                                      "-=", "plain=word"}));
  EXPECT_EQ(split(arguments, Reader::Dashes::OneOrTwo),
            (std::vector<std::string>{"--ports|a=b", "-platform|offscreen", "-", "--", "--|x", "-|",
                                      "plain=word"}));
}

TEST(Reader, OneDashOptionsTakeValuesAndRefuseThemAsTwoDashOnesDo) {
  Reader reader({"-name", "x", "-h=", "-style"}, Reader::Dashes::OneOrTwo);
  ASSERT_TRUE(reader.next());
  EXPECT_EQ(reader.value(), "x");
  ASSERT_TRUE(reader.next());
  EXPECT_EQ(reader.name(), "-h");
  EXPECT_EQ(reader.given(), "-h=");
  EXPECT_FALSE(reader.flag());
  EXPECT_EQ(reader.error(), "-h takes no value");
  ASSERT_TRUE(reader.next());
  EXPECT_EQ(reader.value(), std::nullopt);
  EXPECT_EQ(reader.error(), "-style needs a value");
  EXPECT_EQ(reader.given(), "-style");
  EXPECT_FALSE(reader.next());
}

}  // namespace
