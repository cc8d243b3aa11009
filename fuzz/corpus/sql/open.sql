^grant execute on procedure p to public^
drop procedure p;
/* never closed
