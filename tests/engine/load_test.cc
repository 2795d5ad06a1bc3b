// File: tests/engine/load_test.cc
//
// create_session from sealed artefacts made with the writer: a valid file gives a working
// session, each failure stage comes back named in the LoadError with its wording, and the
// same random weights stored as fp32 and as fp16 give bit-identical models and scores.
#include "engine/load.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "format/artefact.h"
#include "random_artefact.h"
#include "support/model_arrays.h"

namespace quelt::engine {
namespace {

std::vector<float> tone(std::size_t n) {
  std::vector<float> x(n);
  for (std::size_t i = 0; i < n; ++i) {
    x[i] = 0.4f * std::sin(0.07f * static_cast<float>(i)) +
           0.1f * std::sin(0.9f * static_cast<float>(i * i % 977));
  }
  return x;
}

TEST(CreateSession, ValidArtefactGivesADefaultSession) {
  auto session = create_session(testing::random_model_artefact(5, false));
  ASSERT_TRUE(session.has_value());
  Session& s = session.value();
  EXPECT_EQ(s.config().window_size, 200u);
  EXPECT_EQ(s.config().cooldown_frames, 100u);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(s.threshold()), 0x3F666666u);
  EXPECT_TRUE(s.config().warm_start);
  EXPECT_NE(s.current_score(), 0.5f);  // warmed up on silence
  s.push_pcm_f32(tone(16000));
  EXPECT_EQ(s.frame_counter(), 98u);
  EXPECT_TRUE(std::isfinite(s.current_score()));
}

TEST(CreateSession, Fp16AndFp32ArtefactsGiveTheSameModelAndScores) {
  auto a32 = format::deserialize_artefact(testing::random_model_artefact(8, false));
  auto a16 = format::deserialize_artefact(testing::random_model_artefact(8, true));
  ASSERT_TRUE(a32.has_value());
  ASSERT_TRUE(a16.has_value());
  EXPECT_EQ(a16.value().tensors.at("head.weight").dtype, format::TensorDtype::Fp16);
  auto m32 = nn::build_model(a32.value().tensors);
  auto m16 = nn::build_model(a16.value().tensors);
  ASSERT_TRUE(m32.has_value());
  ASSERT_TRUE(m16.has_value());
  const auto f32 = testing::model_arrays(m32.value()), f16 = testing::model_arrays(m16.value());
  for (std::size_t t = 0; t < f32.size(); ++t) {
    ASSERT_EQ(std::memcmp(f32[t]->data(), f16[t]->data(), f32[t]->size() * sizeof(float)), 0)
        << "tensor " << t;
  }

  auto s32 = create_session(testing::random_model_artefact(8, false));
  auto s16 = create_session(testing::random_model_artefact(8, true));
  ASSERT_TRUE(s32.has_value());
  ASSERT_TRUE(s16.has_value());
  const auto audio = tone(8000);
  for (int chunk = 0; chunk < 4; ++chunk) {
    s32.value().push_pcm_f32(audio);
    s16.value().push_pcm_f32(audio);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(s32.value().current_score()),
              std::bit_cast<std::uint32_t>(s16.value().current_score()));
  }
}

TEST(CreateSession, ReportsTheFailingStage) {
  // Not an artefact at all: the reader fails.
  const std::vector<std::uint8_t> junk(10, 0x41);
  auto bad_file = create_session(junk);
  ASSERT_FALSE(bad_file.has_value());
  EXPECT_EQ(bad_file.error().stage, LoadError::Stage::Deserialize);
  EXPECT_EQ(describe(bad_file.error()),
            ".qelt deserialize failed: FormatTruncated { offset: 0, needed: 64, actual: 10 }");

  // A valid artefact without "head.bias": the build fails.
  auto tensors = testing::random_model_tensors(2, false);
  std::erase_if(tensors, [](const writer::Tensor& t) { return t.name == "head.bias"; });
  auto missing =
      create_session(writer::seal(writer::configured_key(), writer::make_plaintext(tensors)));
  ASSERT_FALSE(missing.has_value());
  ASSERT_EQ(missing.error().stage, LoadError::Stage::ModelBuild);
  EXPECT_EQ(describe(missing.error()),
            "model build failed: Core(MissingTensor { name: \"head.bias\" })");
}

}  // namespace
}  // namespace quelt::engine
