// The node settings inside the rules store: one id per wc_system key, in one order.
#pragma once
#include <cstdint>

// Every key but RatioOfDCIMSAndMUMS (whose getter differs), as X(name, type of the C getter).
#define POLICYDB_SETTINGS_BUT_RATIO(X) \
  POLICYDB_SETTINGS_BEFORE_RATIO(X) \
  POLICYDB_SETTINGS_AFTER_RATIO(X)

#define POLICYDB_SETTINGS_BEFORE_RATIO(X) \
  X(MaxUsableMemSize, uint64_t) \
  X(MaxConnections, uint32_t) \
  X(IsUsedMemCache, uint8_t) \
  X(MaxClientSendBuffer, uint32_t) \
  X(MaxClientRecvBuffer, uint32_t) \
  X(MaxCacheBlockSize, uint32_t) \
  X(IsUsedXForwardedFor, uint8_t) \
  X(IsHitCacheForRefresh, uint8_t) \
  X(IsUsedMethodCONNECT, uint8_t) \
  X(ClientRequestTimeOut, uint32_t) \
  X(IsUsedPageViewStat, uint8_t) \
  X(PVRCreatingOption, uint32_t) \
  X(PVRCreatingThisTime, uint32_t) \
  X(PVRCreatingPeriodTime, uint32_t) \
  X(MaxUpstreamConnections, uint32_t) \
  X(MaxSessionCacheSize, uint32_t) \
  X(RoleInQuorinCluster, uint8_t) \
  X(UnenableZazudazaBySpider, uint8_t) \
  X(UnenableStatBySpider, uint8_t) \
  X(UnenableAccessLog, uint8_t) \
  X(IsDiskCache, uint8_t) \
  X(MinSizeForActivePageByDiskCache, uint32_t) \
  X(DiskCacheDirectoryDepth, uint32_t) \
  X(MinSizeForRSCPByDiskCache, uint32_t) \
  X(MaxOpenedFilesByDiskCache, uint32_t)

#define POLICYDB_SETTINGS_AFTER_RATIO(X) \
  X(EnableDiskCacheForChunkedPage, uint8_t) \
  X(MinDiskCacheContentSize, uint32_t) \
  X(UseExpiredCacheWhenUpstreamIsFail, uint8_t) \
  X(EnableWhiteList, uint8_t) \
  X(AddXCacheToHeader, uint8_t) \
  X(BlockTransparentProxyAccess, uint8_t)

namespace policydb::settings {

#define POLICYDB_SETTING_ID(name, type) name,
enum class Id : uint8_t {
  POLICYDB_SETTINGS_BEFORE_RATIO(POLICYDB_SETTING_ID)
  RatioOfDCIMSAndMUMS,
  POLICYDB_SETTINGS_AFTER_RATIO(POLICYDB_SETTING_ID)
  kCount
};
#undef POLICYDB_SETTING_ID

// The value held (bytes for sizes, 0 or 1 for flags).
uint64_t get(Id id);
// The ratio's getter: an unset ratio answers 30 and becomes 30.
uint32_t get_ratio();
// The setter of every key: value in the row's unit (KB or MB for sizes).
bool set(Id id, uint64_t value);
uint8_t running();
void set_running(bool on);
void load();
bool have(Id id);
// Every setting back to its built-in value.
void reset();
const char* key_of(Id id);

}  // namespace policydb::settings
