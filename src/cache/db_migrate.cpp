#include "cache/db_migrate.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "runtime/logger.h"

namespace {

constexpr std::uint32_t kCurrentVersion = 10;
constexpr std::uint32_t kInitialBuffer = 4096;
constexpr std::uint32_t kTextBound = 260;  // characters, terminator included
constexpr std::uint32_t kMaxListEntries = 50;
constexpr std::uint32_t kHashBytes = 32;
// A row whose old layout does not parse: skipped, unlike a row of another kind.
constexpr OB_STATUSCODE kUnparsableRow = kObOverflow;
constexpr const char* kVersionWriteFailed =
    "Writing the updated version to the MetaData table failed. Rolling back transaction to last "
    "stable state";

// Copies fields of the old layout to the new one, never past either end.
class FieldCopier {
 public:
  FieldCopier(const std::uint8_t* in, std::uint32_t in_length, std::uint8_t* out,
              std::uint32_t capacity)
      : in_(in), in_length_(in_length), out_(out), capacity_(capacity) {}

  bool Bytes(std::uint32_t n) {
    if (n > in_length_ - in_pos_ || n > capacity_ - out_pos_) {
      return false;
    }
    std::memcpy(out_ + out_pos_, in_ + in_pos_, n);
    in_pos_ += n;
    out_pos_ += n;
    return true;
  }
  bool Zeros(std::uint32_t n) {
    if (n > capacity_ - out_pos_) {
      return false;
    }
    std::memset(out_ + out_pos_, 0, n);
    out_pos_ += n;
    return true;
  }
  // A zero-terminated text of unit-byte characters, at most kTextBound units with the zero.
  bool Text(std::uint32_t unit) {
    std::uint32_t bytes = 0;
    return TextBytes(unit, &bytes) && Bytes(bytes);
  }
  // Passes over a text without copying it.
  bool SkipText(std::uint32_t unit) {
    std::uint32_t bytes = 0;
    if (!TextBytes(unit, &bytes)) {
      return false;
    }
    in_pos_ += bytes;
    return true;
  }
  bool Count(std::uint32_t* count) {
    if (4 > in_length_ - in_pos_) {
      return false;
    }
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
      value = value << 8 | in_[in_pos_ + i];
    }
    *count = value;
    const std::uint32_t clamped = std::min(value, kMaxListEntries);
    in_pos_ += 4;
    if (4 > capacity_ - out_pos_) {
      return false;
    }
    for (int i = 0; i < 4; ++i) {
      out_[out_pos_++] = static_cast<std::uint8_t>(clamped >> (8 * i));
    }
    return true;
  }
  [[nodiscard]] std::uint32_t written() const { return out_pos_; }

 private:
  // Bytes of the text at the read position, its terminator included.
  [[nodiscard]] bool TextBytes(std::uint32_t unit, std::uint32_t* bytes) const {
    for (std::uint32_t i = 0; i < kTextBound; ++i) {
      const std::uint32_t at = in_pos_ + i * unit;
      if (at > in_length_ || unit > in_length_ - at) {
        return false;
      }
      if (IsZero(at, unit)) {
        *bytes = (i + 1) * unit;
        return true;
      }
    }
    return false;
  }
  [[nodiscard]] bool IsZero(std::uint32_t at, std::uint32_t unit) const {
    for (std::uint32_t i = 0; i < unit; ++i) {
      if (in_[at + i] != 0) {
        return false;
      }
    }
    return true;
  }

  const std::uint8_t* in_;
  std::uint32_t in_length_;
  std::uint32_t in_pos_ = 0;
  std::uint8_t* out_;
  std::uint32_t capacity_;
  std::uint32_t out_pos_ = 0;
};

bool CopyOldRecord(FieldCopier& copy) {
  constexpr std::uint32_t kNarrow = 1;
  constexpr std::uint32_t kWide = 2;
  bool ok = copy.Bytes(4) && copy.Bytes(4) && copy.Text(kNarrow) && copy.Bytes(2) &&
            copy.Text(kNarrow) && copy.Bytes(2) && copy.Bytes(1) && copy.Bytes(4) &&
            copy.Bytes(4) && copy.Bytes(8) && copy.Bytes(8) && copy.Bytes(4) && copy.Bytes(4) &&
            copy.Text(kWide) && copy.Text(kWide) && copy.Bytes(kHashBytes) &&
            copy.Bytes(kHashBytes) && copy.Text(kWide);
  // The three account types the old layout lacked, each before the text that follows it.
  for (int i = 0; i < 3 && ok; ++i) {
    ok = copy.Zeros(2) && copy.Text(kWide);
  }
  ok = ok && copy.Text(kWide);
  std::uint32_t modules = 0;
  ok = ok && copy.Count(&modules);
  // Entries past the clamped count are passed over so the next field is read where it is.
  for (std::uint32_t i = 0; i < modules && ok; ++i) {
    ok = i < kMaxListEntries ? copy.Text(kWide) : copy.SkipText(kWide);
  }
  std::uint32_t hashes = 0;
  ok = ok && copy.Count(&hashes);
  for (std::uint32_t i = 0; i < std::min(hashes, kMaxListEntries) && ok; ++i) {
    ok = copy.Bytes(kHashBytes);
  }
  return ok;
}

// Reads row id into block (grown to the row's size when needed).
OB_STATUSCODE ReadRow(CSQLite& store, std::int64_t id, CacheBlock& block, std::uint32_t* length) {
  block.assign(std::max<std::size_t>(block.size(), kInitialBuffer), 0);
  *length = static_cast<std::uint32_t>(block.size());
  OB_STATUSCODE status = store.ReadSingleEntry(id, block.data(), length);
  if (status == kObBufferTooSmall) {
    block.assign(*length, 0);
    status = store.ReadSingleEntry(id, block.data(), length);
  }
  return status;
}

// One row through backward, transform, forward and back into the store. Only a failing
// transform of a row of another kind is reported; everything else skips the row.
OB_STATUSCODE TransformRow(CSQLite& store, CPluginManager& plugins, const RowTransform& transform,
                           std::int64_t id, CacheBlock& input) {
  std::uint32_t length = 0;
  OB_STATUSCODE status = ReadRow(store, id, input, &length);
  if (status != kObSuccess) {
    return status;
  }
  if (plugins.ProcessBackward(input, length) != kObSuccess) {
    return kObSuccess;
  }
  const auto capacity = static_cast<std::uint32_t>(
      std::min<std::size_t>(std::size_t{length} + 6, std::numeric_limits<std::uint32_t>::max()));
  CacheBlock output(capacity, 0);
  std::uint32_t out_length = capacity;
  status = transform(input.data(), length, output.data(), &out_length, capacity);
  if (status == kUnparsableRow) {
    OB_LOG_AS(LOG_WARNING, "CDBMigrateBase::transformRows",
              "Row %lld is not a readable record of the old layout; left as it is",
              static_cast<long long>(id));
    return kObSuccess;
  }
  if (status != kObSuccess) {
    return status;
  }
  status = plugins.ProcessForward(output, out_length);
  if (status != kObSuccess) {
    OB_LOG_AS(LOG_ERROR, "CDBMigrateBase::transformRows", "Couldn't process entry. Error: %d",
              status);
    return kObSuccess;
  }
  static_cast<void>(store.UpdateSingleEntry(id, output.data(), out_length));
  return kObSuccess;
}

}  // namespace

OB_STATUSCODE CDBMigrateBase::inTransaction(CSQLite& store,
                                            const std::function<OB_STATUSCODE()>& body) {
  if (store.FlushRecordsToDatabase() != kObSuccess ||
      store.executeStatement("BEGIN TRANSACTION") != kObSuccess) {
    return kObFailure;
  }
  OB_STATUSCODE status = body();
  if (status == kObSuccess && store.executeStatement("COMMIT") != kObSuccess) {
    status = kObFailure;
  }
  if (status != kObSuccess) {
    static_cast<void>(store.executeStatement("ROLLBACK"));
  }
  return status;
}

OB_STATUSCODE CDBMigrateBase::transformRows(CSQLite& store, CPluginManager& plugins,
                                            const RowTransform& transform) {
  std::int64_t id = 0;
  OB_STATUSCODE status = store.GetMinValue("ID", &id);
  if (status == kObNotFound) {
    return kObSuccess;  // empty table
  }
  if (status != kObSuccess) {
    OB_LOG_ERROR("Couldn't get starting ID. Error: %d", status);
    return kObFailure;
  }
  CacheBlock input;
  // Walks every existing ID: a gap does not end the walk.
  while (status == kObSuccess) {
    status = TransformRow(store, plugins, transform, id, input);
    if (status == kObSuccess) {
      status = store.GetNextId(id, &id);
    }
  }
  return status == kObNotFound ? kObSuccess : status;
}

OB_STATUSCODE CUpgrade0To1Impl::Upgrade(CSQLite& store, CPluginManager&) {
  return inTransaction(store, [&store]() {
    if (store.CreateMetaDataTable() != kObSuccess) {
      OB_LOG_AS(LOG_ERROR, "CUpgrade0To1Impl::Upgrade",
                "MetaData table creation failed. Rolling back transaction to last stable state");
      return kObFailure;
    }
    if (store.WriteDBSchemaVersion("1") != kObSuccess) {
      OB_LOG_AS(LOG_ERROR, "CUpgrade0To1Impl::Upgrade", "%s", kVersionWriteFailed);
      return kObFailure;
    }
    return kObSuccess;
  });
}

OB_STATUSCODE CUpgradeDummyImpl::Upgrade(CSQLite& store, CPluginManager&) {
  char version[32] = {};
  std::snprintf(version, sizeof(version), "%u", target_);
  return inTransaction(store, [&store, &version]() {
    if (store.WriteDBSchemaVersion(version) != kObSuccess) {
      OB_LOG_AS(LOG_ERROR, "CUpgradeDummyImpl::Upgrade", "%s.", kVersionWriteFailed);
      return kObFailure;
    }
    return kObSuccess;
  });
}

OB_STATUSCODE CUpgrade9To10Impl::Upgrade(CSQLite& store, CPluginManager& plugins) {
  return inTransaction(store, [&store, &plugins]() {
    const OB_STATUSCODE status = transformRows(store, plugins, TransformRecord);
    if (status != kObSuccess) {
      OB_LOG_AS(LOG_ERROR, "CUpgrade9To10Impl::Upgrade",
                "Transforming Rows failed, error: %d. Rolling back transaction to last stable "
                "state",
                status);
      return status;
    }
    if (store.WriteDBSchemaVersion("10") != kObSuccess) {
      OB_LOG_AS(LOG_ERROR, "CUpgrade9To10Impl::Upgrade", "%s", kVersionWriteFailed);
      return kObFailure;
    }
    return kObSuccess;
  });
}

OB_STATUSCODE CUpgrade9To10Impl::TransformRecord(const std::uint8_t* in, std::uint32_t in_length,
                                                 std::uint8_t* out, std::uint32_t* out_length,
                                                 std::uint32_t capacity) {
  if (in == nullptr || out == nullptr || out_length == nullptr || in_length < 4 ||
      capacity < std::size_t{in_length} + 6 || std::memcmp(in, "ORVO", 4) != 0) {
    return kObBadArgument;
  }
  FieldCopier copy(in, in_length, out, capacity);
  if (!CopyOldRecord(copy)) {
    return kUnparsableRow;
  }
  *out_length = copy.written();
  return kObSuccess;
}

MigratorList MakeMigrators() {
  MigratorList migrators;
  migrators.push_back(std::make_unique<CUpgrade0To1Impl>());
  for (std::uint32_t target = 2; target <= 8; ++target) {
    migrators.push_back(std::make_unique<CUpgradeDummyImpl>(target));
  }
  migrators.push_back(std::make_unique<CUpgrade9To10Impl>());
  return migrators;
}

OB_STATUSCODE RunMigrationChain(CSQLite& store, CPluginManager& plugins,
                                const MigratorList& migrators) {
  int version = 0;
  if (store.ReadDBSchemaVersion(&version) != kObSuccess) {
    OB_LOG_DEBUG("Metadata not found. Need to upgrade DB schema");
    version = 0;
  }
  if (version > static_cast<int>(kCurrentVersion)) {
    return kObFailure;
  }
  while (version < static_cast<int>(kCurrentVersion) &&
         static_cast<std::size_t>(version) < migrators.size()) {
    if (migrators[static_cast<std::size_t>(version)]->Upgrade(store, plugins) != kObSuccess) {
      OB_LOG_ERROR("Failed to upgrade db.");
      return kObFailure;
    }
    int upgraded = 0;
    if (store.ReadDBSchemaVersion(&upgraded) != kObSuccess || upgraded <= version ||
        upgraded > static_cast<int>(kCurrentVersion)) {
      OB_LOG_ERROR("Failed to get updated version or migration failed.");
      return kObFailure;
    }
    version = upgraded;
  }
  // A compaction that fails (a nearly full disk) leaves a sound database: go on without it.
  if (store.DefragDB() != kObSuccess) {
    OB_LOG_WARN("The cache database was not compacted; it is used as it is");
  }
  return kObSuccess;
}
