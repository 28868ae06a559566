// Schema migration of the cache database: a chain of migrators indexed by the version they start
// from, each run inside one transaction that commits fully or rolls back.
//
//   index 0       CUpgrade0To1Impl    creates METADATA, writes "1"
//   index 1..7    CUpgradeDummyImpl   writes "2".."8", no data change
//   index 8       CUpgrade9To10Impl   rewrites every "ORVO" row to the current "ORVO" layout
//                                     (adds the three account types), writes "10"
//
// There is no index 9: a version-9 store leaves the chain as it is. RunMigrationChain fails
// whenever a step fails or does not raise the version, so a store is never stamped "10" while
// its rows are still in an old layout.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "cache/cache_plugins.h"
#include "cache/sqlite_store.h"
#include "common/status.h"

// (input, input length, output, output length in/out, output capacity) -> status.
using RowTransform = std::function<OB_STATUSCODE(const std::uint8_t*, std::uint32_t, std::uint8_t*,
                                                 std::uint32_t*, std::uint32_t)>;

class CDBMigrateBase {
 public:
  virtual ~CDBMigrateBase() = default;
  // Brings the store one step on inside one transaction; on failure nothing has changed.
  [[nodiscard]] virtual OB_STATUSCODE Upgrade(CSQLite& store, CPluginManager& plugins) = 0;

 protected:
  // Rewrites every row through plugins backward, transform, plugins forward. Rows that do not
  // decrypt, re-encode or are too large are left alone; a failing transform fails the walk.
  [[nodiscard]] static OB_STATUSCODE transformRows(CSQLite& store, CPluginManager& plugins,
                                                   const RowTransform& transform);
  // BEGIN; body; COMMIT, or ROLLBACK (logging message) when the body or the commit fails.
  [[nodiscard]] static OB_STATUSCODE inTransaction(CSQLite& store,
                                                   const std::function<OB_STATUSCODE()>& body);
};

class CUpgrade0To1Impl : public CDBMigrateBase {
 public:
  [[nodiscard]] OB_STATUSCODE Upgrade(CSQLite& store, CPluginManager& plugins) override;
};

class CUpgradeDummyImpl : public CDBMigrateBase {
 public:
  explicit CUpgradeDummyImpl(std::uint32_t target) : target_(target) {}
  [[nodiscard]] OB_STATUSCODE Upgrade(CSQLite& store, CPluginManager& plugins) override;

 private:
  std::uint32_t target_;
};

class CUpgrade9To10Impl : public CDBMigrateBase {
 public:
  [[nodiscard]] OB_STATUSCODE Upgrade(CSQLite& store, CPluginManager& plugins) override;

  // The layout transform: the old "ORVO" record in, the current one out (input length + 6
  // bytes when both lists hold at most 50 entries). -9994 for anything that does not parse or
  // does not fit the output.
  [[nodiscard]] static OB_STATUSCODE TransformRecord(const std::uint8_t* in,
                                                     std::uint32_t in_length, std::uint8_t* out,
                                                     std::uint32_t* out_length,
                                                     std::uint32_t capacity);
};

using MigratorList = std::vector<std::unique_ptr<CDBMigrateBase>>;

// The nine migrators, by starting version.
[[nodiscard]] MigratorList MakeMigrators();

// Runs the chain from the stored version up to 10 and compacts the store (a failed compaction
// is logged, not a failure). -9999 when the
// stored version is above 10 (or invalid), a step fails, or a step does not raise the version.
[[nodiscard]] OB_STATUSCODE RunMigrationChain(CSQLite& store, CPluginManager& plugins,
                                              const MigratorList& migrators);
