-- O banco central de uma rede de lojas: cada satd configurado com [central] envia para a tabela
-- cfe todo CF-e de venda e de cancelamento que o seu SAT assinou. O DBA da rede aplica este
-- arquivo uma vez (psql -f esquema.sql); aplicá-lo de novo não muda nada. O usuário de cada
-- satd precisa só de INSERT em cfe e de USAGE no esquema.
CREATE TABLE IF NOT EXISTS cfe (
  chave       char(44) PRIMARY KEY,      -- os 44 dígitos da chave de acesso
  loja        text NOT NULL,             -- [central] loja do satd que o enviou
  tipo        text NOT NULL CHECK (tipo IN ('venda', 'cancelamento')),
  cnpj        char(14) NOT NULL,         -- o do emitente, como está na chave
  caixa       integer NOT NULL,
  sessao      integer NOT NULL,
  emitido_em  timestamp,                 -- a hora local da loja; nulo se o SAT mandou uma inválida
  total       numeric(15,2),             -- nulo se o SAT mandou um valor inválido
  xml         bytea NOT NULL,            -- o CF-e byte a byte como o SAT o assinou
  recebido_em timestamptz NOT NULL DEFAULT now()
);
CREATE INDEX IF NOT EXISTS cfe_loja_emitido ON cfe (loja, emitido_em);

-- O dia de cada loja: quantos CF-e de venda e de cancelamento, e os seus totais.
CREATE OR REPLACE VIEW cfe_dia AS
SELECT loja, cnpj, emitido_em::date AS dia,
       count(*) FILTER (WHERE tipo = 'venda') AS vendas,
       coalesce(sum(total) FILTER (WHERE tipo = 'venda'), 0) AS total_vendas,
       count(*) FILTER (WHERE tipo = 'cancelamento') AS cancelamentos,
       coalesce(sum(total) FILTER (WHERE tipo = 'cancelamento'), 0) AS total_cancelamentos
  FROM cfe
 GROUP BY loja, cnpj, emitido_em::date;
