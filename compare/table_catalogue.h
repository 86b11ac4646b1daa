// The table catalogue: the small integer by which the daemon knows each collection of
// "tavrund_qmx". The numbers are fixed; the progress file refers to tables by them.
#pragma once

#include <cstdint>
#include <map>

enum table_type : int32_t {
  TABLE_VIRUS_FILE_LOG = 1,
  TABLE_WEBSHELL_LOG = 2,
  TABLE_DOMAIN_LOG = 3,
  TABLE_ANTI_BFA_LOG = 4,
  TABLE_ANTI_BFA_ORIGIN_LOG = 5,
  TABLE_AGENT_LEVEL = 6,
  TABLE_AGENT_LEVEL_PENDING_LOG = 7,
  TABLE_NOFILE_ATTACK_LOG = 8,
  TABLE_LEAK_INFO_LOG = 9,
  TABLE_INCIDENT_MSG = 10,
  TABLE_AGENT_INFO = 11,
  TABLE_INTERCEPTION_LOG = 12,
  TABLE_BEHAVIOR_LOG = 13,
};

// The collection name of a table type, or null for a number outside the catalogue.
// The pointer is a string constant valid for the life of the process.
inline const char* get_table_name(int32_t type) {
  static const std::map<int32_t, const char*> names = {
      {1, "virus_file_log"},
      {2, "webshell_log"},
      {3, "domain_log"},
      {4, "anti_bfa_log"},
      {5, "anti_bfa_origin_log"},
      {6, "agent_level"},
      {7, "agent_level_pending_log"},
      {8, "nofile_attack_log"},
      {9, "leak_info_log"},
      {10, "incident_msg"},
      {11, "agent_info"},
      {12, "interception_log"},
      {13, "behavior_log"},
  };
  auto it = names.find(type);
  return it == names.end() ? nullptr : it->second;
}
