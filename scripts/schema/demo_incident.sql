-- One active incident with a short journal, so a fresh installation has
-- something to show: two messages (the second answers the first) and one
-- delivery to an e-mail address.
INSERT INTO LF_LAGEN (ID, `NAME`, AKTIV, DAUERLAGE) VALUES
  (1, 'Übung Hochwasser Nordufer', 1, 0);
INSERT INTO LF_NACHRICHTEN
  (NUMMER, LAGE, ADD_USER, ADD_FUNKTION, ALLGEMEIN, BETREFF, INHALT, VON, AN, ART, VORRANG, BEZUG, ERSTBEZUG)
VALUES
  (1, 1, 'Leitstelle', 'S2', 0, 'Lagemeldung', 'Pegel steigt, Deich wird beobachtet.', 'Leitstelle', 'Einsatzleitung', 'Funk', 'B', NULL, NULL),
  (2, 1, 'Einsatzleitung', 'S3', 0, 'Rückmeldung', 'Sandsäcke angefordert.', 'Einsatzleitung', 'Leitstelle', 'Telefon', 'S', 1, 1);
INSERT INTO LF_NACHRICHTEN_EMPF (LAGE, NACHRICHT, TYP, EMPFAENGER, `STATUS`) VALUES
  (1, 1, 'E', 'lage@example.org', 'Ungelesen');
