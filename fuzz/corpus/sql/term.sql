;set term ^ ;
execute block as begin insert into t values (1); end^
set term ; ^
alter trigger t inactive ;
