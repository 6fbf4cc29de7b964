-- Rows of every family that writes the setup log, for the golden setup log.
insert into wc_scache(wid, num, url, icase, rules, expire, sessionid, note) values
  (1, 2, '*/login.do', 0, 0, 600, 'SID', ''),
  (2, 1, '^%{HTTP_HOST}/member/signin\.php', 1, 1, 3600, 'PHPSESSID', ''),
  (3, 3, 'shop.example.com/a/very/long/login/path/that/is/cut/at/fifty/five/characters', 0, 2, 86400, 'SHOP', '');
insert into wc_icache(wid, num, url, icase, rules, expire, unit, icookie, olimit, isdiskcache, note) values
  (1, 1, '*.jpg', 1, 0, 7, 0, 0, 0, 1, ''),
  (2, 2, '^%{HTTP_HOST}/static/', 0, 1, 12, 1, 1, 1, 0, ''),
  (3, 3, 'a.com/index.html', 0, 2, 30, 2, 0, 2, 1, '');
insert into wc_fcache(wid, num, url, icase, rules, expire, unit, icookie, olimit, isdiskcache, note) values
  (4, 1, '*.css', 0, 0, 123456, 3, 0, 0, 1, '');
insert into wc_rcache(wid, num, url, icase, rules, olimit, cachelocation, note) values
  (1, 1, '*/admin/*', 1, 0, 0, 0, ''),
  (2, 2, '\.php$', 0, 1, 1, 1, '');
insert into upfetch(wid, host, balance, note) values
  (1, 'www.Example.com', 0, 'main site'),
  (2, '*.img.example.com', 1, ''),
  (3, 'api.example.com:8080', 2, '');
insert into wc_upstream(upstreamid, wid, host, weight, note) values
  (1, 1, '10.0.0.1:8080', 10, ''),
  (2, 1, '10.0.0.2', 5, ''),
  (3, 2, '$0:81', 1, ''),
  (4, 3, 'backend.internal.example.com:8080', 100, '');
insert into wc_black(low, high, expire, note) values('192.0.2.0', '192.0.2.255', 1893456000, 'documentation net');
insert into wc_black(low, high, expire, note) values('198.51.100.7', '198.51.100.7', 0, 'one address, expired');
create table wc_white(wid integer primary key autoincrement, low varchar(20) not null, high varchar(20) not null, expire unsigned int(4) not null, note text);
insert into wc_white(wid, low, high, expire, note) values(3, '127.0.0.0', '127.255.255.255', 2147483647, 'loopback');
insert into wc_rewrite(wid, num, src, dst, icase, flag, note) values
  (1, 2, '^a.b/x(.*)', 'a.b/y$1', 0, 3, ''),
  (2, 1, '^%{HTTP_HOST}/old/(.*)$', '%{HTTP_HOST}/a/very/long/new/location/that/is/cut/$1', 1, 2, ''),
  (3, 3, '^a.b/y(.*)', 'a.b/z$1', 0, 1, '');
insert into wc_protect(wid, pturl, lcurl, icase, note) values
  (1, '^(.*)\.jpg$', 'x.y/deny.png', 0, ''),
  (2, '^%{HTTP_HOST}/download/(.*)$', '%{HTTP_HOST}/please-use-the-front-page/$1', 1, '');
insert into wc_permit(permitid, wid, pturl, icase, note) values
  (1, 1, '^a\.b/', 0, ''),
  (2, 2, '^%{HTTP_HOST}/', NULL, ''),
  (3, 1, '^c\.d/', 1, '');
create table if not exists wc_diskno(num int not null, path text not null, quota int default '0' not null, used int default '0' not null, full int default '0' not null, ssd int default '0' not null, note text default "" not null);
insert into wc_diskno(num, path, quota, used, full, ssd, note) values
  (-3, 'D:\cache\three', 0, 1, 0, 1, ''),
  (1, '/srv/cache/a/folder/name/that/is/longer/than/the/column', 0, 1, 0, 0, ''),
  (2, '', 0, 1, 0, 0, 'no path');
