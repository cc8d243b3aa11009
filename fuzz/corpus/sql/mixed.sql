;/* lead
 comment */ insert into t values ('a;b', "c;d") /* e;f */;
-- dash; line
input 'x.sql';
describe field f table t 'x''y';
set sql dialect 3;
connect 'db' user 'SYSDBA' password '';
