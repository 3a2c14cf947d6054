#include "bridge_api.hpp"

#include <cerrno>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "bridge_client.hpp"
#include "bridge_test_files.hpp"
#include "exception_outcome.hpp"
#include "lut.hpp"
#include "lut_open_error.hpp"

namespace {

using namespace tonvik::bridge::testing;

// Calls the apply entry point the way the binding does and owns the result.
struct apply_call {
  BridgeOutcome outcome;
  std::int32_t os_error = -1;
  std::string text;
  bool arguments_moved_out = false;
};

apply_call call_apply(const BridgeClient* client, const std::string& lut, const std::string& image,
                      const std::string& output) {
  BridgeString lut_path(lut.c_str());
  BridgeString image_path(image.c_str());
  BridgeString output_path(output.c_str());
  alignas(BridgeString) unsigned char storage[sizeof(BridgeString)];
  apply_call call;
  call.outcome =
      tonvik_bridge_apply_lut(client, &lut_path, &image_path, &output_path, storage, &call.os_error);
  auto* result = reinterpret_cast<BridgeString*>(storage);
  call.text = result->to_std_string();
  std::destroy_at(result);
  call.arguments_moved_out =
      lut_path.capacity() == 0 && image_path.capacity() == 0 && output_path.capacity() == 0;
  return call;
}

class BridgeApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(tonvik_bridge_client_new(&client), BridgeOutcome::ok);
    ASSERT_NE(client, nullptr);
    write_file(dir.file("identity.cube"), identity_cube(2));
    write_file(dir.file("in.ppm"), grey_ppm(4, 4));
  }
  void TearDown() override {
    tonvik_bridge_client_drop(&client);
    EXPECT_EQ(client, nullptr);
  }

  scratch_dir dir;
  BridgeClient* client = nullptr;
};

TEST_F(BridgeApiTest, OutcomesCarryTheirTexts) {
  write_file(dir.file("short.cube"), "LUT_3D_SIZE 2\n0 0 0\n");
  struct outcome_case {
    std::string lut;
    std::string image;
    BridgeOutcome outcome;
    std::int32_t os_error;
    std::string text;
  };
  const std::vector<outcome_case> cases = {
      {dir.file("identity.cube"), dir.file("in.ppm"), BridgeOutcome::ok, 0, "success:ok"},
      {dir.file("identity.cube"), dir.file("absent.ppm"), BridgeOutcome::ok, 0, "error:image_not_found"},
      {dir.file("absent.cube"), dir.file("absent.ppm"), BridgeOutcome::lut_unopenable, ENOENT,
       "failed to open the file: " + dir.file("absent.cube")},
      {dir.path().string(), dir.file("in.ppm"), BridgeOutcome::lut_unopenable, EISDIR,
       "failed to open the file: " + dir.path().string()},
      {dir.file("short.cube"), dir.file("in.ppm"), BridgeOutcome::invalid_input, 0,
       "[lut.exception.parse_error.0] parse error: The lut element does not match the size of lut"},
  };
  for (const auto& c : cases) {
    const apply_call call = call_apply(client, c.lut, c.image, dir.file("out.jpg"));
    EXPECT_EQ(call.outcome, c.outcome) << c.lut;
    EXPECT_EQ(call.os_error, c.os_error) << c.lut;
    EXPECT_EQ(call.text, c.text);
    EXPECT_TRUE(call.arguments_moved_out);
  }
}

TEST_F(BridgeApiTest, TwoClientsGiveTheSameResult) {
  BridgeClient* other = nullptr;
  ASSERT_EQ(tonvik_bridge_client_new(&other), BridgeOutcome::ok);
  const auto first = call_apply(client, dir.file("identity.cube"), dir.file("in.ppm"), dir.file("a.jpg"));
  const auto second = call_apply(other, dir.file("identity.cube"), dir.file("in.ppm"), dir.file("b.jpg"));
  tonvik_bridge_client_drop(&other);
  EXPECT_EQ(first.text, "success:ok");
  EXPECT_EQ(second.text, first.text);
  EXPECT_EQ(read_file(dir.file("a.jpg")), read_file(dir.file("b.jpg")));
}

TEST(BridgeApiNullTest, NullPointersAreNoCrash) {
  tonvik_bridge_client_drop(nullptr);
  BridgeClient* none = nullptr;
  tonvik_bridge_client_drop(&none);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(tonvik_bridge_client_new(nullptr), BridgeOutcome::internal_error);

  const apply_call call = call_apply(nullptr, "a", "b", "c");
  EXPECT_EQ(call.outcome, BridgeOutcome::internal_error);
  EXPECT_FALSE(call.text.empty());
  EXPECT_TRUE(call.arguments_moved_out) << "released even when refused";
}

struct classified {
  BridgeOutcome outcome;
  std::int32_t os_error;
  std::string message;
};

template <class Exception>
classified classify(const Exception& exception) {
  try {
    throw exception;
  } catch (...) {
    const tonvik::bridge::exception_outcome o = tonvik::bridge::classify_current_exception();
    return {o.outcome, o.os_error, o.message};  // the text dies with the exception
  }
}

// A bad LUT is the caller's to fix; a broken precondition or invariant is a
// fault of ours and must not look like one.
TEST(ExceptionOutcomeTest, CallersMistakesAndOurFaultsAreDifferentOutcomes) {
  using vireth::image::detail::parse_error;
  using vireth::image::detail::precondition_error;
  const classified unopenable = classify(tonvik::bridge::lut_open_error("a.cube", EACCES));
  EXPECT_EQ(unopenable.outcome, BridgeOutcome::lut_unopenable);
  EXPECT_EQ(unopenable.os_error, EACCES);
  EXPECT_EQ(unopenable.message, "failed to open the file: a.cube");

  const classified malformed = classify(parse_error(0, 0, vireth::image::count_mismatch_detail));
  EXPECT_EQ(malformed.outcome, BridgeOutcome::invalid_input);
  EXPECT_EQ(malformed.message,
            "[lut.exception.parse_error.0] parse error: The lut element does not match the size of lut");

  const classified precondition = classify(precondition_error("u >= 0.0f", "lut.cpp", 7));
  EXPECT_EQ(precondition.outcome, BridgeOutcome::internal_error);
  EXPECT_EQ(precondition.message,
            "[lut.exception.precondition_error.0] precondition failed: u >= 0.0f (lut.cpp:7)");

  const classified invariant = classify(std::invalid_argument("assertion failed: s != nullptr"));
  EXPECT_EQ(invariant.outcome, BridgeOutcome::internal_error);
  EXPECT_EQ(invariant.message, "assertion failed: s != nullptr");

  EXPECT_EQ(classify(std::bad_alloc()).outcome, BridgeOutcome::out_of_memory);
  EXPECT_EQ(classify(std::runtime_error("x")).outcome, BridgeOutcome::internal_error);
  const classified unknown = classify(42);
  EXPECT_EQ(unknown.outcome, BridgeOutcome::internal_error);
  EXPECT_EQ(unknown.message, "unknown exception in the engine");
  for (const classified& c : {malformed, precondition, invariant, unknown}) EXPECT_EQ(c.os_error, 0);
}

}  // namespace
