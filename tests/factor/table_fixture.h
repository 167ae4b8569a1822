// A FACTOR step record wired to an output delivery whose only destination
// keeps every object, for tests of the procedure's tables and data sets.
// COMSTR is filled by hand: names, factor names and result arrays are set by
// the test as the stages before it would have set them.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "factor/output/factods.h"
#include "factor/rotate/rotation_registry.h"
#include "factor/state/status.h"
#include "factor/state/step_record.h"
#include "host/output.h"
#include "host/services.h"
#include "host/session.h"
#include "host/step.h"
#include "host/value.h"
#include "support/capture_destination.h"

namespace kav::testing_support {

class TableFixture : public ::testing::Test {
 protected:
  std::ostringstream log_text;
  Session session{":memory:", &log_text};
  OutputDelivery delivery;
  std::vector<OutputObject> objects;
  std::unique_ptr<StepContext> ctx;
  std::unique_ptr<FACTSTEP> step = std::make_unique<FACTSTEP>();
  COMSTR* com = &step->com;

  void SetUp() override {
    session.output = &delivery;
    delivery.attach_destination("capture", std::make_unique<Capture>(&objects));
    ctx = std::make_unique<StepContext>(session, std::vector<Statement>{});
    com->host = ctx.get();
    com->step = step.get();
    com->miss = missing_value();
    com->hypval = com->alpha = missing_value();
    com->rmethod0 = com->rmethod2 = kRotNone;
    delivery.begin_step("FACTOR", 1);
    factoin(com);
  }
  void TearDown() override {
    step.reset();
    ctx.reset();
  }

  // Analysis variables (and partial variables after them) by name.
  void variables(const std::vector<std::string>& names, int npar = 0) {
    const int ntot = static_cast<int>(names.size());
    com->ntot = ntot;
    com->npar = npar;
    com->nvar = ntot - npar;
    auto* block = static_cast<longlname*>(factalloc(com, 2 * sizeof(longlname) * names.size()));
    com->vname = block;
    com->vnamer = block + ntot;
    com->maxnam = 0;
    for (int k = 0; k < ntot; ++k) {
      for (longlname* n : {&com->vname[k], &com->vnamer[k]}) {
        std::memset(n->name, ' ', sizeof n->name);
        std::memcpy(n->name, names[static_cast<std::size_t>(k)].data(),
                    names[static_cast<std::size_t>(k)].size());
        n->len = static_cast<std::int16_t>(names[static_cast<std::size_t>(k)].size());
      }
      com->maxnam =
          std::max(com->maxnam, static_cast<int>(names[static_cast<std::size_t>(k)].size()));
    }
    com->perm = static_cast<int*>(factalloc(com, sizeof(int) * names.size()));
    for (int k = 0; k < com->nvar; ++k) com->perm[k] = k;
  }
  // Factor names "Factor1".. of width `width`.
  void factor_names(int n, int width = 8) {
    com->fname_l = width;
    com->fname = static_cast<char*>(factalloc(com, static_cast<std::uint64_t>(width * n)));
    for (int j = 0; j < n; ++j) {
      std::string s = "Factor" + std::to_string(j + 1);
      std::memset(com->fname + j * width, ' ', static_cast<std::size_t>(width));
      std::memcpy(com->fname + j * width, s.data(), s.size());
    }
  }
  double* doubles(const std::vector<double>& values) {
    double* p = factalloc_doubles(com, values.size());
    for (std::size_t k = 0; k < values.size(); ++k) p[k] = values[k];
    return p;
  }

  const Table* table(const std::string& name) const {
    for (auto it = objects.rbegin(); it != objects.rend(); ++it)
      if (const Table* t = it->table(); t && t->name == name) return t;
    return nullptr;
  }
  const OutputObject* object(const std::string& name) const {
    for (auto it = objects.rbegin(); it != objects.rend(); ++it)
      if (it->name() == name) return &*it;
    return nullptr;
  }
  static int column(const Table& t, const std::string& name) {
    for (std::size_t k = 0; k < t.columns.size(); ++k)
      if (t.columns[k].name == name) return static_cast<int>(k);
    return -1;
  }
  static double num(const Table& t, std::size_t row, const std::string& col) {
    int k = column(t, col);
    EXPECT_GE(k, 0) << col;
    if (k < 0) return missing_value();
    return std::get<double>(t.rows[row][static_cast<std::size_t>(k)]);
  }
  static std::string text(const Table& t, std::size_t row, const std::string& col) {
    int k = column(t, col);
    EXPECT_GE(k, 0) << col;
    if (k < 0) return {};
    return std::get<std::string>(t.rows[row][static_cast<std::size_t>(k)]);
  }
  // The display text of a cell under its resolved column.
  static std::string shown(const Table& t, std::size_t row, const std::string& col) {
    int k = column(t, col);
    EXPECT_GE(k, 0) << col;
    if (k < 0) return {};
    return cell_text(t.rows[row][static_cast<std::size_t>(k)],
                     t.columns[static_cast<std::size_t>(k)]);
  }
  bool logged(int group, int number) const {
    for (const auto& e : session.log.entries())
      if (e.group == group && e.number == number) return true;
    return false;
  }
  template <class F>
  int exit_code(F f) {
    try {
      f();
    } catch (const StepExit& e) {
      return e.code;
    }
    return -1;
  }
};

}  // namespace kav::testing_support
