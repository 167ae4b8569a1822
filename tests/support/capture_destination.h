// An output destination that keeps every delivered object, so that tests
// can look at the tables a step produced.
#pragma once

#include <string>
#include <vector>

#include "host/output.h"

namespace kav::testing_support {

class Capture : public OutputDestination {
 public:
  explicit Capture(std::vector<OutputObject>* sink) : sink_(sink) {}
  void begin_step(const StepInfo&) override {}
  void add(const OutputObject& o, const StepInfo&) override { sink_->push_back(o); }
  void end_step(const StepInfo&, const StepEnd&) override {}
  std::string close() override { return ""; }

 private:
  std::vector<OutputObject>* sink_;
};

}  // namespace kav::testing_support
