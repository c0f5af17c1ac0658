// Laying out a module saved without positions: no two boxes overlap, every
// wire runs left to right, and a load through the editor lays out in the
// load's own undo step.
#include "editor/core/layout.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>

#include "editor/core/editor_core.h"
#include "engine/module_file.h"
#include "tests/support/engine_fixture.h"

namespace korvel::editor_core {
namespace {

using korvel::testing::EngineTest;

class LayoutTest : public EngineTest {
 protected:
  // Every pair of boxes apart, every source's right edge left of its
  // target's left edge.
  void ExpectReadable() {
    for (int a = 0; a < kSlotCount; ++a) {
      const ComponentDescriptor* p = engine->Descriptor(a);
      if (p == nullptr) continue;
      for (int b = a + 1; b < kSlotCount; ++b) {
        const ComponentDescriptor* q = engine->Descriptor(b);
        if (q == nullptr) continue;
        const bool apart = p->x + p->width <= q->x || q->x + q->width <= p->x || p->y + p->height <= q->y ||
                           q->y + q->height <= p->y;
        EXPECT_TRUE(apart) << "slots " << a << " and " << b;
      }
      for (int j = 0; j < p->input_count; ++j) {
        const int s = p->input_source_slot[j];
        if (s == kNoSlot) continue;
        const ComponentDescriptor& from = *engine->Descriptor(s);
        EXPECT_LT(from.x + from.width, p->x) << "slot " << s << " feeds slot " << a;
      }
    }
  }
};

TEST_F(LayoutTest, APatchReadsLeftToRightWithTheConstantBesideItsReaderAndOutLast) {
  const int in = Create(0), lp = Create(15), out = Create(1), cutoff = Create(80), spare = Create(10);
  ASSERT_TRUE(engine->Connect(in, 0, lp, 0));
  ASSERT_TRUE(engine->Connect(lp, 0, out, 0));
  ASSERT_TRUE(engine->Connect(cutoff, 0, lp, 1));
  ASSERT_TRUE(NeedsLayout(*engine));
  LayOut(*engine);
  ExpectReadable();
  EXPECT_FALSE(NeedsLayout(*engine));
  EXPECT_EQ(Desc(in).x, kLayoutMargin);
  EXPECT_EQ(Desc(cutoff).x, Desc(in).x) << "one column before the filter, not further";
  EXPECT_GE(Desc(out).x, Desc(lp).x + Desc(lp).width);
  EXPECT_GE(Desc(spare).x, kLayoutMargin);
}

TEST_F(LayoutTest, OnlyAModuleWithEveryBoxAtTheOriginIsLaidOut) {
  Create(0);
  EXPECT_FALSE(NeedsLayout(*engine)) << "one box at the origin is where it belongs";
  const int second = Create(1);
  EXPECT_TRUE(NeedsLayout(*engine));
  engine->MoveComponent(second, 5, 0);
  EXPECT_FALSE(LayOutIfUnplaced(*engine));
  EXPECT_EQ(Desc(second).x, 5);
}

TEST_F(LayoutTest, RandomPatchesOfEverySizeAreReadable) {
  std::mt19937 rng(24);
  constexpr int kTypes[] = {0, 1, 2, 10, 15, 22, 23, 80, 12};
  for (int round = 0; round < 30; ++round) {
    engine->ClearModule();
    const int boxes = 2 + static_cast<int>(rng() % 60);
    for (int i = 0; i < boxes; ++i) Create(kTypes[rng() % std::size(kTypes)]);
    for (int w = 0; w < boxes * 2; ++w) {
      const int s = static_cast<int>(rng() % static_cast<unsigned>(boxes));
      const int t = static_cast<int>(rng() % static_cast<unsigned>(boxes));
      if (!engine->IsOccupied(s) || !engine->IsOccupied(t) || s == t) continue;
      const ComponentDescriptor& from = Desc(s);
      const ComponentDescriptor& to = Desc(t);
      if (from.output_count == 0 || to.input_count == 0) continue;
      engine->Connect(s, static_cast<int>(rng() % from.output_count), t, static_cast<int>(rng() % to.input_count));
    }
    LayOut(*engine);
    ExpectReadable();
    if (HasFailure()) return;
  }
}

TEST_F(LayoutTest, TheEditorLaysOutALoadedModuleInTheLoadsOwnStep) {
  const int in = Create(0), out = Create(1);
  ASSERT_TRUE(engine->Connect(in, 0, out, 0));
  const std::string path = ::testing::TempDir() + "unplaced.korvel";
  std::string error;
  ASSERT_TRUE(SaveModuleFile(*engine, path, error)) << error;
  engine->ClearModule();
  EditorCore core(*engine);
  ASSERT_TRUE(core.LoadModule(path, error)) << error;
  ExpectReadable();
  ASSERT_EQ(core.UndoDepth(), 1u);
  ASSERT_TRUE(core.Undo(error)) << error;
  EXPECT_EQ(engine->SlotCount(), 0) << "the undo takes the load back, layout and all";
  std::remove(path.c_str());
}

}  // namespace
}  // namespace korvel::editor_core
