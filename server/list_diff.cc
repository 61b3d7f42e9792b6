// Comparing two install lists record by record.
#include "server/list_diff.h"

#include <map>
#include <utility>

#include "installlist/install_list.h"

namespace qv::server {
namespace {

// A record's values by field name, in the list's field order.
using Values = std::vector<std::pair<std::string, Variant>>;

Values RecordOf(const Recordset& list, size_t index) {
  std::vector<Variant> values = list.RecordValues(index);
  Values named;
  for (size_t i = 0; i < values.size(); ++i) {
    named.emplace_back(list.fields()[i].name, std::move(values[i]));
  }
  return named;
}

std::string FileNameOf(const Recordset& list, const Values& values) {
  const int index = list.FieldIndex(kFieldFileName);
  return index < 0 ? "" : values[static_cast<size_t>(index)].second.ToText();
}

// The value of the field named name (matched without regard to case, as
// the list's fields are); null when there is none.
const Variant& ValueOf(const Recordset& list, const Values& values, const std::string& name) {
  static const Variant kNull;
  const int index = list.FieldIndex(name);
  return index < 0 ? kNull : values[static_cast<size_t>(index)].second;
}

std::vector<FieldChange> Compare(const Recordset& before, const Values& old_values,
                                 const Recordset& after, const Values& new_values) {
  std::vector<FieldChange> changes;
  for (const auto& [name, value] : new_values) {
    const Variant& old_value = ValueOf(before, old_values, name);
    if (old_value != value) changes.push_back({name, old_value, value});
  }
  for (const auto& [name, value] : old_values) {
    if (!after.HasField(name) && !value.IsNull()) changes.push_back({name, value, Variant()});
  }
  return changes;
}

}  // namespace

std::vector<RecordChange> DiffInstallLists(const Recordset& before, const Recordset& after) {
  // The old records of each name, in list order, not yet paired.
  std::map<std::string, std::vector<size_t>> unpaired;
  std::vector<Values> old_records;
  for (size_t i = 0; i < before.total_records(); ++i) {
    old_records.push_back(RecordOf(before, i));
    unpaired[FileNameOf(before, old_records.back())].push_back(i);
  }
  std::map<std::string, size_t> taken;  // how many of each name were paired
  std::vector<bool> paired(old_records.size(), false);
  std::vector<RecordChange> changes;
  for (size_t i = 0; i < after.total_records(); ++i) {
    const Values values = RecordOf(after, i);
    const std::string name = FileNameOf(after, values);
    const std::vector<size_t>& candidates = unpaired[name];
    size_t& next = taken[name];
    if (next == candidates.size()) {
      changes.push_back({RecordChange::Kind::kAdded, name, {}});
      continue;
    }
    const size_t old_index = candidates[next++];
    paired[old_index] = true;
    std::vector<FieldChange> fields = Compare(before, old_records[old_index], after, values);
    if (!fields.empty()) changes.push_back({RecordChange::Kind::kChanged, name, std::move(fields)});
  }
  for (size_t i = 0; i < old_records.size(); ++i) {
    if (!paired[i]) {
      changes.push_back({RecordChange::Kind::kRemoved, FileNameOf(before, old_records[i]), {}});
    }
  }
  return changes;
}

}  // namespace qv::server
