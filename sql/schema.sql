-- Tables the engine reads and writes by name (MySQL or MariaDB). Table names are
-- case-sensitive on most servers: keep them as written.
-- Create them with `python3 -m replay.db create`, which runs this file against the server
-- of cfg/oxa.ini.
--
-- Prices and ratios are DOUBLE, not DECIMAL: the driver returns DOUBLE as a Python float,
-- and strategy expressions mix these values with the tick's float prices
-- (a DECIMAL value plus a float raises TypeError).

-- Instruments, answered to instrument queries. The engine reads `select *` and takes
-- columns 1 to 31 in this order, so the column order is part of the interface; column 0
-- is a key of the table's own.
CREATE TABLE IF NOT EXISTS t_Instrument (
    id                     INT          NOT NULL AUTO_INCREMENT PRIMARY KEY,
    InstrumentID           VARCHAR(31)  NOT NULL,
    ExchangeID             VARCHAR(9)   NOT NULL DEFAULT '',
    InstrumentName         VARCHAR(64)  NOT NULL DEFAULT '',
    ExchangeInstID         VARCHAR(31)  NOT NULL DEFAULT '',
    ProductID              VARCHAR(31)  NOT NULL DEFAULT '',
    ProductClass           VARCHAR(1)   NOT NULL DEFAULT '',
    DeliveryYear           INT          NOT NULL DEFAULT 0,
    DeliveryMonth          INT          NOT NULL DEFAULT 0,
    MaxMarketOrderVolume   INT          NOT NULL DEFAULT 0,
    MinMarketOrderVolume   INT          NOT NULL DEFAULT 0,
    MaxLimitOrderVolume    INT          NOT NULL DEFAULT 0,
    MinLimitOrderVolume    INT          NOT NULL DEFAULT 0,
    VolumeMultiple         INT          NOT NULL DEFAULT 0,
    PriceTick              DOUBLE       NOT NULL DEFAULT 0,
    CreateDate             VARCHAR(9)   NOT NULL DEFAULT '',
    OpenDate               VARCHAR(9)   NOT NULL DEFAULT '',
    ExpireDate             VARCHAR(9)   NOT NULL DEFAULT '',
    StartDelivDate         VARCHAR(9)   NOT NULL DEFAULT '',
    EndDelivDate           VARCHAR(9)   NOT NULL DEFAULT '',
    InstLifePhase          VARCHAR(1)   NOT NULL DEFAULT '',
    IsTrading              INT          NOT NULL DEFAULT 0,
    PositionType           VARCHAR(1)   NOT NULL DEFAULT '',
    PositionDateType       VARCHAR(1)   NOT NULL DEFAULT '',
    LongMarginRatio        DOUBLE       NOT NULL DEFAULT 0,
    ShortMarginRatio       DOUBLE       NOT NULL DEFAULT 0,
    MaxMarginSideAlgorithm VARCHAR(1)   NOT NULL DEFAULT '',
    UnderlyingInstrID      VARCHAR(31)  NOT NULL DEFAULT '',
    StrikePrice            DOUBLE       NOT NULL DEFAULT 0,
    OptionsType            VARCHAR(1)   NOT NULL DEFAULT '',
    UnderlyingMultiple     DOUBLE       NOT NULL DEFAULT 0,
    CombinationType        VARCHAR(1)   NOT NULL DEFAULT '',
    UNIQUE KEY uq_t_Instrument_InstrumentID (InstrumentID)
) DEFAULT CHARSET = utf8mb4;

-- Factors: strategy values changed while the engine runs. The engine reads the rows whose
-- id is above the last one it applied (a new engine: above 1, hence ids start at 2) and
-- sets factor_name to factor_val in the attribute dictionary of InstrumentID, or in the
-- global dictionary when InstrumentID is 'all'.
CREATE TABLE IF NOT EXISTS t_factor (
    id           INT          NOT NULL AUTO_INCREMENT PRIMARY KEY,
    InstrumentID VARCHAR(31)  NOT NULL,
    factor_name  VARCHAR(64)  NOT NULL,
    factor_val   DOUBLE,
    created      TIMESTAMP    NOT NULL DEFAULT CURRENT_TIMESTAMP
) AUTO_INCREMENT = 2 DEFAULT CHARSET = utf8mb4;

-- Simulated trades: one row per limit order that the engine's simulation filled.
CREATE TABLE IF NOT EXISTS T_SimNow_AutoTrade (
    id             INT           NOT NULL AUTO_INCREMENT PRIMARY KEY,
    InvestorID     VARCHAR(15)   NOT NULL,
    InstrumentID   VARCHAR(31)   NOT NULL,
    Express        TEXT,
    Direction      VARCHAR(1),
    CombOffsetFlag VARCHAR(5),
    Order_Time     VARCHAR(32),
    Order_Price    DOUBLE,
    Order_MDPrice  DOUBLE,
    Trade_Price    DOUBLE,
    Trade_Volume   INT,
    created        TIMESTAMP     NOT NULL DEFAULT CURRENT_TIMESTAMP,
    KEY ix_T_SimNow_AutoTrade_investor (InvestorID, InstrumentID)
) DEFAULT CHARSET = utf8mb4;
