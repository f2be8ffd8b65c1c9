-- The two columns KorvaneDiraVid adds on its first start; a database that has
-- run the service before already holds them.
ALTER TABLE LF_NACHRICHTEN ADD DIRAVID_STATUS INTEGER;
ALTER TABLE LF_NACHRICHTEN_EMPF ADD DIRAVID_STATUS INTEGER;
