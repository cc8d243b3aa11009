;create procedure p (a integer)
returns (b integer)
as
begin
  b = :a + 1;
  suspend;
end;
commit work;
