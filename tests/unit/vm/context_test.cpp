#include <gtest/gtest.h>

#include "vm_machine.h"

namespace {

uint32_t SharedCountOf(const ScriptContext* ctx) { return Machine::Peek32(ctx->shared_count); }

TEST(Context, CreateLaysOutAreas) {
  ScriptContext* ctx = CreateContext(1000, 2048);
  ASSERT_NE(ctx, nullptr);
  EXPECT_EQ(ctx->state, kContextRunning);
  EXPECT_EQ(ctx->pc, ctx->program_base);
  EXPECT_EQ(ctx->r[7], ctx->stack_base + 2048);
  EXPECT_EQ(ctx->shared_count, ctx->program_base + 1000);
  EXPECT_EQ(SharedCountOf(ctx), 1u);
  EXPECT_GE(ctx->program_base, kArenaReservedLow);
  for (uint32_t i = 0; i < 1000; i += 97) EXPECT_EQ(*ToHost(ctx->program_base + i), 0);
  for (uint32_t i = 0; i < 2048; i += 97) EXPECT_EQ(*ToHost(ctx->stack_base + i), 0);
  for (int i = 0; i < 7; ++i) EXPECT_EQ(ctx->r[i], 0u);
  FreeContext(ctx);
}

TEST(Context, CreateFailsCleanlyWhenTooLarge) {
  EXPECT_EQ(CreateContext(0xFFFFFFFFu, 4096), nullptr);
  EXPECT_EQ(CreateContext(16, 0xFFFFFFF0u), nullptr);
}

TEST(Context, CloneSharesProgramAndOwnsStack) {
  ScriptContext* parent = CreateContext(256, 1024);
  ASSERT_NE(parent, nullptr);
  ScriptContext* child = CloneContext(parent, 0);
  ASSERT_NE(child, nullptr);
  ScriptContext* big = CloneContext(parent, 8192);
  ASSERT_NE(big, nullptr);
  EXPECT_EQ(child->program_base, parent->program_base);
  EXPECT_EQ(child->stack_size, 1024u);
  EXPECT_EQ(big->stack_size, 8192u);
  EXPECT_NE(child->stack_base, parent->stack_base);
  EXPECT_EQ(child->r[7], child->stack_base + 1024);
  EXPECT_EQ(SharedCountOf(parent), 3u);
  FreeContext(big);
  EXPECT_EQ(SharedCountOf(parent), 2u);
  FreeContext(child);
  FreeContext(parent);
  EXPECT_EQ(CloneContext(nullptr, 0), nullptr);
  FreeContext(nullptr);
}

TEST(Context, CloneKeepsProgramAliveAfterParentIsFreed) {
  Machine m("movl r0, $21\nadd r0, r0\nret\n");
  ScriptContext* child = CloneContext(m.ctx, 0);
  ASSERT_NE(child, nullptr);
  uint32_t program = m.ctx->program_base;
  FreeContext(m.ctx);
  m.ctx = nullptr;
  EXPECT_TRUE(ArenaIsBlock(program));
  EXPECT_EQ(SharedCountOf(child), 1u);
  child->r[7] -= 4;
  Machine::Poke32(child->r[7], 0xFFFFFFFFu);
  while (child->state == kContextRunning) RunContext(child);
  EXPECT_EQ(child->r[0], 42u);
  FreeContext(child);
  EXPECT_FALSE(ArenaIsBlock(program));
  m.ctx = CreateContext(16, 64);  // for the destructor
}

TEST(Context, ScribbledSharedCountCannotFreeTwice) {
  ScriptContext* a = CreateContext(64, 64);
  ScriptContext* b = CloneContext(a, 0);
  ASSERT_NE(b, nullptr);
  Machine::Poke32(a->shared_count, 0);  // a script wrote over it
  FreeContext(a);                        // frees the area early
  FreeContext(b);                        // must not free it again
  SUCCEED();
}

TEST(Context, ExternalArea) {
  ASSERT_TRUE(AllocExternalArea(0x200000));
  uint32_t area = ExternalAreaAddress();
  EXPECT_NE(area, 0u);
  EXPECT_EQ(ExternalAreaSize(), 0x200000u);
  EXPECT_EQ(*ToHost(area + 0x1FFFFF), 0);
  ASSERT_TRUE(AllocExternalArea(0));
  EXPECT_EQ(ExternalAreaAddress(), 0u);
  EXPECT_FALSE(ArenaIsBlock(area));
  EXPECT_FALSE(AllocExternalArea(0xFFFFFFFFu));
  FreeExternalArea();
  FreeExternalArea();
}

}  // namespace
