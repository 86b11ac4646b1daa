// Start-up cleanup of the pending collection.
#pragma once

// Empties "agent_level_pending_log"; false (after "delete %s failed") on any failure.
bool clean_pending_collection();
