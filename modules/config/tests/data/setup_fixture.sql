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
