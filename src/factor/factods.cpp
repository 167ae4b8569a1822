#include "factor/factods.h"

#include <new>

#include "factor/factds.h"
#include "factor/factor.h"
#include "host/output.h"
#include "host/services.h"

namespace kav {

namespace {

// The manager's end: whatever is still open belongs to the step that ends.
int close_manager(ODSOBJ* object, const void*, int, int, int) {
  if (object->delivery) {
    object->delivery->close_all_groups();
    object->delivery->clear_by_values();
  }
  return 0;
}

int close_group(ODSOBJ* object, const void*, int, int, int) {
  if (object->delivery) object->delivery->close_group();
  return 0;
}

const ODSCLASS kManagerClass{"manager", close_manager, nullptr};
const ODSCLASS kGroupClass{"group", close_group, nullptr};

ODSOBJ* new_object(COMSTR* com, const ODSCLASS* cls, OutputDelivery* delivery) {
  void* block = factalloc(com, sizeof(ODSOBJ));
  return new (block) ODSOBJ{cls, delivery};
}

}  // namespace

void factoin(COMSTR* com) {
  com->ods = nullptr;
  com->graphics = 0;
  OutputDelivery* delivery = com->host->output();
  if (!delivery || fopt_test(com, kFoptNoprint)) return;
  com->cls = &kManagerClass;
  com->ods = new_object(com, &kManagerClass, delivery);
  com->graphics = delivery->graphics() ? 1 : 0;
  delivery->set_procedure_label("The FACTOR Procedure");
}

void factogrp(COMSTR* com, const char* name, const std::string& label) {
  if (!com->ods) return;
  factoclose(&com->opengroup);
  com->ods->delivery->open_group(name, label);
  com->opengroup = new_object(com, &kGroupClass, com->ods->delivery);
}

void factoclose(ODSOBJ** object) {
  if (!object || !*object) return;
  ODSOBJ* o = *object;
  *object = nullptr;
  if (o->cls && o->cls->close) o->cls->close(o, o->cls->arg, kOdsCloseFinal, 0, 0);
}

void factoby(COMSTR* com) {
  if (!com->ods || !com->datafid || !com->datafid->groups) return;
  const ByGroups& groups = *com->datafid->groups;
  if (!groups.has_by()) return;
  std::vector<ByValue> values;
  auto texts = groups.key_text();
  for (std::size_t k = 0; k < groups.variables().size() && k < texts.size(); ++k) {
    ByValue v;
    v.variable = groups.variables()[k].name;
    v.value = texts[k];
    v.text = texts[k];
    values.push_back(std::move(v));
  }
  com->ods->delivery->set_by_values(std::move(values));
}

}  // namespace kav
