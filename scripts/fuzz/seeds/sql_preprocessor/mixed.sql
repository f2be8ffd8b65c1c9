SELECT 'x!name y', 'a&&b', `c:d` /* :p */ -- &q
, /*!50000 :r */ a::b, :Größe FROM T WHERE A<>:a AND B != 'it''s \' :a