-- The configuration database: node settings, rule tables, proxy hosts with their upstreams,
-- and the admin accounts. scripts/run builds build/dist/config/zazudaza.db from this file
-- when that database is missing. Ids are never reused after a delete (autoincrement).
BEGIN TRANSACTION;
CREATE TABLE wc_system(name varchar(128) not null unique, value text, subvalue text);
CREATE TABLE wc_scache(wid integer primary key autoincrement, num int not null, url text, icase int, rules int, expire int, sessionid text, note text);
CREATE TABLE wc_icache(wid integer primary key autoincrement, num int not null, url text, icase int, rules int, expire int, unit int, icookie int, olimit int, isdiskcache int default '1' not null, note text);
CREATE TABLE wc_fcache(wid integer primary key autoincrement, num int not null, url text, icase int, rules int, expire int, unit int, icookie int, olimit int, isdiskcache int default '1' not null, note text);
CREATE TABLE wc_rcache(wid integer primary key autoincrement, num int not null, url text, icase int, rules int, olimit int, cachelocation int default '0' not null, note text);
CREATE TABLE wc_black(wid integer primary key autoincrement, low varchar(20) not null, high varchar(20) not null, expire unsigned int(4) not null, note text);
CREATE TABLE wc_protect(wid integer primary key autoincrement, pturl text, lcurl text, icase int, note text);
CREATE TABLE wc_permit(permitid integer primary key autoincrement, wid int, pturl text, icase int, note text);
CREATE TABLE wc_rewrite(wid integer primary key autoincrement, num int not null, src text, dst text, icase int, flag int, note text);
CREATE TABLE tallies(wid integer primary key autoincrement, num int not null, url text, icase int, rules int, note text);
CREATE TABLE upfetch(wid integer primary key autoincrement, host varchar(128) not null collate nocase unique, balance int, note text, unable int default '0' not null, ssl_opt int default '0' not null, ssl_crt_content text, ssl_key_content text, ssl_extra_params text);
CREATE TABLE wc_upstream(upstreamid integer primary key autoincrement, wid int, host text, weight int, note text, ssl_opt int default '0' not null, ssl_crt_content text, ssl_key_content text, ssl_extra_params text);
CREATE TABLE wc_user(username varchar(64) not null primary key, password varchar(64), lastlogtime int);

-- Settings: sizes in the unit the admin pages use (MaxUsableMemSize and MaxSessionCacheSize
-- in MB; MaxClientSendBuffer, MaxClientRecvBuffer, MaxCacheBlockSize and
-- MinSizeForRSCPByDiskCache in KB), flags 0 or 1.
insert into wc_system(name, value) values('MaxUsableMemSize', '200');
insert into wc_system(name, value) values('MaxConnections', '5000');
insert into wc_system(name, value) values('IsUsedMemCache', '1');
insert into wc_system(name, value) values('MaxClientSendBuffer', '32');
insert into wc_system(name, value) values('MaxClientRecvBuffer', '8');
insert into wc_system(name, value) values('MaxCacheBlockSize', '512');
insert into wc_system(name, value) values('IsUsedXForwardedFor', '1');
insert into wc_system(name, value) values('IsHitCacheForRefresh', '1');
insert into wc_system(name, value) values('IsUsedMethodCONNECT', '1');
insert into wc_system(name, value) values('ClientRequestTimeOut', '15');
insert into wc_system(name, value) values('IsUsedPageViewStat', '1');
insert into wc_system(name, value) values('PVRCreatingOption', '0');
insert into wc_system(name, value) values('PVRCreatingThisTime', '0');
insert into wc_system(name, value) values('PVRCreatingPeriodTime', '24');
insert into wc_system(name, value) values('MaxUpstreamConnections', '5000');
insert into wc_system(name, value) values('MaxSessionCacheSize', '100');
insert into wc_system(name, value) values('RoleInQuorinCluster', '0');
insert into wc_system(name, value) values('UnenableZazudazaBySpider', '1');
insert into wc_system(name, value) values('UnenableStatBySpider', '1');
insert into wc_system(name, value) values('UnenableAccessLog', '1');
insert into wc_system(name, value) values('IsDiskCache', '0');
insert into wc_system(name, value) values('MinSizeForActivePageByDiskCache', '16384');
insert into wc_system(name, value) values('DiskCacheDirectoryDepth', '4');
insert into wc_system(name, value) values('MinSizeForRSCPByDiskCache', '2048');
insert into wc_system(name, value) values('MaxOpenedFilesByDiskCache', '5000');
insert into wc_system(name, value) values('RatioOfDCIMSAndMUMS', '30');
insert into wc_system(name, value) values('EnableDiskCacheForChunkedPage', '0');
insert into wc_system(name, value) values('MinDiskCacheContentSize', '16384');
insert into wc_system(name, value) values('UseExpiredCacheWhenUpstreamIsFail', '1');
insert into wc_system(name, value) values('EnableWhiteList', '0');
insert into wc_system(name, value) values('AddXCacheToHeader', '0');
insert into wc_system(name, value) values('BlockTransparentProxyAccess', '0');

-- The read-only account; scripts/run adds "admin" with a password of its own.
insert into wc_user(username, password, lastlogtime) values('keeper', '259ec084a98a6b8d16a55223ae680b7e', 0);

COMMIT;
